#pragma once

#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace common {

// What a program says of itself on its command line.
struct ProgramDescription {
    std::string_view name;
    std::string_view version;
    // What the program is and how it is started: the usage's middle paragraph, ending with a line feed.
    std::string_view summary;
    // macOS's launcher may hand an application "-psn_<number>" (its process serial number); an
    // application started that way takes it without complaint.
    bool takesProcessSerialNumber = false;
};

enum class CommandLineRequest { run, help, version, misuse };

struct CommandLineReading {
    CommandLineRequest request = CommandLineRequest::run;
    // For misuse: the argument the program does not take, and whether it looked like an option.
    std::string misused;
    bool misusedIsOption = false;
};

// The exit status of a program started with an argument it does not take.
inline constexpr int misuseStatus = 2;

// Reads the arguments after the program name, in order: the first --help, -h or --version decides;
// an unknown option or any operand before it is misuse. "--" ends the options.
CommandLineReading readCommandLine(std::span<const char* const> arguments, bool takesProcessSerialNumber);

// The usage: the synopsis, the summary and the options.
std::string usageText(const ProgramDescription& program);

// Answers --help and --version on `out` and misuse on `err` (what is wrong, then the usage), and gives
// the exit status: 0, misuseStatus, or 1 when the answer could not be written. Nothing, and nothing
// written, when the program is to run. C streams, not iostreams: an idle agent should not pay for the
// C++ stream library's locale set-up in its private memory.
std::optional<int> answerCommandLine(int argc, const char* const* argv, const ProgramDescription& program,
                                     std::FILE* out, std::FILE* err);

} // namespace common

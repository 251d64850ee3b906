#include "CommandLine.hpp"

#include "TextOutput.hpp"

namespace common {

namespace {

constexpr std::string_view processSerialNumberPrefix = "-psn_";

} // namespace

std::string usageText(const ProgramDescription& program) {
    return "Usage: " + std::string(program.name) + " [--help | --version]\n\n" +
           std::string(program.summary) +
           "\n"
           "  -h, --help     print this text and exit\n"
           "      --version  print the version and exit\n";
}

CommandLineReading readCommandLine(std::span<const char* const> arguments, bool takesProcessSerialNumber) {
    bool options = true;
    for (const char* given : arguments) {
        const std::string_view argument = given != nullptr ? given : "";
        if (options && argument == "--") {
            options = false;
            continue;
        }
        const bool isOption = options && argument.size() > 1 && argument.front() == '-';
        if (isOption && (argument == "--help" || argument == "-h")) {
            return {CommandLineRequest::help, {}, false};
        }
        if (isOption && argument == "--version") {
            return {CommandLineRequest::version, {}, false};
        }
        if (isOption && takesProcessSerialNumber && argument.starts_with(processSerialNumberPrefix)) {
            continue;
        }
        return {CommandLineRequest::misuse, std::string(argument), isOption};
    }
    return {};
}

std::optional<int> answerCommandLine(int argc, const char* const* argv, const ProgramDescription& program,
                                     std::FILE* out, std::FILE* err) {
    const std::span<const char* const> arguments =
        argc > 1 ? std::span<const char* const>(argv + 1, static_cast<std::size_t>(argc - 1))
                 : std::span<const char* const>();
    const CommandLineReading reading = readCommandLine(arguments, program.takesProcessSerialNumber);
    switch (reading.request) {
    case CommandLineRequest::run:
        return std::nullopt;
    case CommandLineRequest::help:
        return writeAll(out, usageText(program)) ? 0 : 1;
    case CommandLineRequest::version:
        return writeAll(out, std::string(program.name) + ' ' + std::string(program.version) + '\n') ? 0 : 1;
    case CommandLineRequest::misuse:
        break;
    }
    writeAll(err, std::string(program.name) + ": " +
                      (reading.misusedIsOption ? "unknown option" : "unexpected argument") + " '" +
                      reading.misused + "'\n" + usageText(program));
    return misuseStatus;
}

} // namespace common

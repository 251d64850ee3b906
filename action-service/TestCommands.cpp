#include "BoundedText.hpp"
#include "Controller.hpp"
#include "Utf8.hpp"

#include <algorithm>

namespace action_service {

namespace {

const std::string shell = "/bin/sh";

// Letters, digits, dots, hyphens and underscores, not leading with '-': such a text is one shell word
// and not a grep option, so it goes into the query as it is.
bool isPlainLabel(const std::string& label) {
    auto plain = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
               c == '-' || c == '_';
    };
    return !label.empty() && label.front() != '-' && std::all_of(label.begin(), label.end(), plain);
}

bool isPlainPath(const std::string& path) {
    auto plain = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
               c == '-' || c == '_' || c == '/';
    };
    return !path.empty() && path.front() != '-' && std::all_of(path.begin(), path.end(), plain);
}

// Inside single quotes the shell gives every character its literal value; a quote itself is closed,
// escaped and reopened.
std::string singleQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

} // namespace

std::string Controller::statusQuery(const std::string& label) const {
    const std::string program = isPlainPath(launchctl) ? launchctl : singleQuoted(launchctl);
    const std::string pattern = isPlainLabel(label) ? label : "-e " + singleQuoted(label);
    return program + " list | /usr/bin/grep " + pattern + " | /usr/bin/awk '{print $2}'";
}

Controller::TestOutput Controller::runTestCommand(TestCommand command, const std::string& argument) {
    std::string program = launchctl;
    std::vector<std::string> arguments;
    switch (command) {
    case TestCommand::load:
        arguments = {launchctl, "load", "-w", argument};
        break;
    case TestCommand::number:
        // grep reads a line feed as a second pattern and the shell's argument ends at a NUL byte:
        // no job's line holds either, so such a label matches nothing. The empty label names no job
        // (as a pattern it would match every line and report the status of all of them).
        if (argument.empty() || argument.find_first_of(std::string("\n\0", 2)) != std::string::npos) {
            return {};
        }
        program = shell;
        arguments = {shell, "-c", statusQuery(argument)};
        break;
    case TestCommand::error:
        arguments = {launchctl, "error", argument};
        break;
    }
    ProcessRunner::Output output = platform_.processes.capture(program, arguments, replyTextLimit);
    if (output.launchError) {
        return {decodeUtf8Lossy("Could not run " + program + ": " + output.launchError->description), false};
    }
    // Decoded as a whole: a character cut between two reads stays whole.
    const std::uint64_t leftOut = keepWholeCharacters(output.bytes, output.size);
    std::string text = decodeUtf8Lossy(output.bytes);
    appendLeftOutLine(text, leftOut, "the output");
    return {std::move(text)};
}

} // namespace action_service

#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace action_service {

// The request model the service shares with the main application. The service never builds
// one: it reads request dictionaries directly. It names the keys and the two enumerations.
struct Action {
    enum class Kind : std::int64_t {
        saveJob = 0,
        saveAndLoadJob = 1,
        deleteJob = 2,
        quit = 3,
        unloadJob = 4,
        loadJob = 5,
        testJob = 6,
        removeFile = 7,
        removeHelperTool = 8,
        reserved = 9,
    };

    // Exactly the raw values 0 to 9 are kinds.
    static std::optional<Kind> kindFromRaw(std::int64_t raw);

    enum class ErrorCode : std::int64_t {
        unknown = 1,
        invalidHelperTool = 2,
        unknownKind = 3,
        cantRemove = 4,
        cantLoad = 5,
        cantUnload = 6,
        logError = 7,
    };

    struct Key {
        static constexpr std::string_view kind = "kind";
        static constexpr std::string_view path = "path";
        static constexpr std::string_view deletePath = "deletePath";
        static constexpr std::string_view testPath = "testPath";
        static constexpr std::string_view testOutputPath = "testOutputPath";
        static constexpr std::string_view plistString = "plistString";
        static constexpr std::string_view authData = "authData";
        static constexpr std::string_view label = "label";
        static constexpr std::string_view privileged = "privileged";
    };

    struct ResultKey {
        static constexpr std::string_view error = "error";
        static constexpr std::string_view test = "test";
    };

    struct ErrorKey {
        static constexpr std::string_view domain = "domain";
        static constexpr std::string_view code = "code";
        static constexpr std::string_view description = "description";
        static constexpr std::string_view suggestion = "suggestion";
    };

    Action() = delete;
    explicit Action(Kind kind_)
        : kind(kind_) {}

    Kind kind;
    bool presentError = false;
    bool cleanUp = false;
    bool privileged = false;
    std::optional<std::filesystem::path> url;
    std::optional<std::filesystem::path> deleteURL;
    std::optional<std::filesystem::path> testURL;
    std::optional<std::filesystem::path> testOutputURL;
    std::optional<std::string> label;
    std::optional<std::string> localAgentsLoadPath;
    std::optional<std::string> localAgentsUnloadPath;
    std::optional<std::string> plistString;
    std::optional<std::map<std::string, std::string>> logQuery;
};

inline constexpr std::string_view errorDomain = "QuorvelActionErrorDomain";

} // namespace action_service

#pragma once

#include "NotificationCenter.hpp"
#include "Timer.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

// What the agent needs of its folder-monitor, constants, rate-limit, text and notification framework.
namespace mortar {

class MonitorDelegate {
public:
    virtual ~MonitorDelegate() = default;
    // Called with the monitor's folder URL after the folder's contents changed.
    virtual void folderDidChange(const std::filesystem::path& url) = 0;
};

class MonitorType {
public:
    virtual ~MonitorType() = default;
};

// Watches one folder while it lives. Backends call report() from a thread of their own.
class SingleFolderMonitor : public MonitorType {
public:
    explicit SingleFolderMonitor(std::filesystem::path url)
        : url_(std::move(url)) {}

    const std::filesystem::path& url() const { return url_; }
    void setDelegate(std::weak_ptr<MonitorDelegate> delegate);
    std::weak_ptr<MonitorDelegate> delegate() const;
    // Tells the delegate, if it still lives, that the folder changed.
    void report();

private:
    const std::filesystem::path url_;
    mutable std::mutex mutex_;
    std::weak_ptr<MonitorDelegate> delegate_;
};

struct URL {
    struct NonSandboxedUser {
        static const std::filesystem::path& library();
    };
    struct Local {
        static const std::filesystem::path& library();
    };
    struct System {
        static const std::filesystem::path& library();
    };
};

struct File {
    static const std::string& nonSandboxedHomeFolderPath();
};

struct Const {
    struct PathComponent {
        static constexpr std::string_view launchAgents = "LaunchAgents";
        static constexpr std::string_view launchDaemons = "LaunchDaemons";
        static constexpr std::string_view startupItems = "StartupItems";
        static constexpr std::string_view applicationSupport = "Application Support";
    };
    struct FileName {
        static constexpr std::string_view exceptions = "Exceptions.plist";
    };
    struct Key {
        static constexpr std::string_view exceptions = "Exceptions";
        static constexpr std::string_view label = "Label";
    };
};

// Trailing-edge throttle: the first call for an idle identifier arms a timer of `duration`; calls while
// it is armed are absorbed; when it fires the closure runs once and the identifier is idle again.
class Limit {
public:
    explicit Limit(agent::Timer& timer)
        : timer_(timer) {}
    void interval(const std::string& identifier, std::chrono::nanoseconds duration,
                  std::function<void()> closure);

private:
    agent::Timer& timer_;
    std::mutex mutex_;
    std::set<std::string, std::less<>> armed_;
};

// Localized text for a key.
std::string LString(std::string_view key);

// Posting user notifications, and the interface direction.
class Interface {
public:
    Interface(agent::NotificationCenter& center, bool rightToLeft)
        : rtl(rightToLeft)
        , center_(center) {}
    void notification(const std::string& title, const std::string& text, const std::string& subtitle,
                      const std::optional<std::string>& identifier) const;
    const bool rtl;

private:
    agent::NotificationCenter& center_;
};

// Replaces the text by its Base64 (standard alphabet, '=' padding, over the UTF-8 bytes).
void toBase64(std::string& text);

} // namespace mortar

#pragma once

#include "TempFolder.hpp"
#include "WaitFor.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <signal.h>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace test_support {

// What a private bus activates, if anything.
struct PrivateBusServices {
    // The folder of the .service files the bus activates from; none when empty.
    std::string folder;
    // The name an activated service owns: each process seen owning it is waited for at the bus's end.
    std::string name;
    // Added to the environment the services inherit from the daemon.
    std::map<std::string, std::string> environment;
    // Added to the services' ASAN_OPTIONS.
    std::string asanOptions;
    // A ThreadSanitizer suppressions file for the services.
    std::string tsanSuppressions;
    // The daemon's standard error, which the services it starts write to, goes to a file that log() reads
    // instead of to the test's.
    bool keepLog = false;
};

// A private dbus-daemon with the room of a session bus (large messages, hundreds of callers). Services it
// activates inherit its environment, with sanitizer log paths in a folder that must stay empty: the bus's
// end waits for every service process it has seen and fails the test if any of them wrote there.
class PrivateBus {
public:
    explicit PrivateBus(PrivateBusServices services = {})
        : services_(std::move(services))
        , folder_("quorvel-bus") {
        std::filesystem::create_directory(folder_.path() / "sanitizer");
        address_ = "unix:path=" + (folder_ / "socket");
        {
            std::ofstream config(folder_ / "bus.conf");
            config << "<busconfig>\n"
                   << "  <type>session</type>\n"
                   << "  <keep_umask/>\n"
                   << "  <listen>" << address_ << "</listen>\n"
                   << "  <auth>EXTERNAL</auth>\n"
                   << (services_.folder.empty() ? ""
                                                : "  <servicedir>" + services_.folder + "</servicedir>\n")
                   << "  <policy context='default'>\n"
                   << "    <allow send_destination='*' eavesdrop='true'/>\n"
                   << "    <allow eavesdrop='true'/>\n"
                   << "    <allow own='*'/>\n"
                   << "  </policy>\n"
                   // Room for a 50 MB request (the built-in limit is 32 MB).
                   << "  <limit name='max_message_size'>268435456</limit>\n"
                   << "  <limit name='max_incoming_bytes'>1000000000</limit>\n"
                   << "  <limit name='max_outgoing_bytes'>1000000000</limit>\n"
                   // Room for hundreds of callers, as on a session bus.
                   << "  <limit name='max_connections_per_user'>2000</limit>\n"
                   << "  <limit name='max_match_rules_per_connection'>5000</limit>\n"
                   << "  <limit name='max_replies_per_connection'>5000</limit>\n"
                   << "</busconfig>\n";
        }
        GSubprocessLauncher* launcher = g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_STDOUT_PIPE);
        if (services_.keepLog) {
            g_subprocess_launcher_set_stderr_file_path(launcher, (folder_ / "log").c_str());
        }
        const std::string logs = (folder_.path() / "sanitizer").string();
        for (const auto& [key, value] : services_.environment) {
            g_subprocess_launcher_setenv(launcher, key.c_str(), value.c_str(), TRUE);
        }
        g_subprocess_launcher_setenv(launcher, "DBUS_SESSION_BUS_ADDRESS", address_.c_str(), TRUE);
        g_subprocess_launcher_setenv(launcher, "DBUS_DEBUG_OUTPUT", "1", TRUE);
        // Every GLib object from malloc, so that LeakSanitizer sees one the service loses.
        g_subprocess_launcher_setenv(launcher, "G_SLICE", "always-malloc", TRUE);
        const std::string asan =
            "log_path=" + logs + "/asan" + (services_.asanOptions.empty() ? "" : ":") + services_.asanOptions;
        g_subprocess_launcher_setenv(launcher, "ASAN_OPTIONS", asan.c_str(), TRUE);
        g_subprocess_launcher_setenv(launcher, "UBSAN_OPTIONS",
                                     ("print_stacktrace=1:log_path=" + logs + "/ubsan").c_str(), TRUE);
        const std::string suppressions =
            services_.tsanSuppressions.empty() ? "" : "suppressions=" + services_.tsanSuppressions + ":";
        g_subprocess_launcher_setenv(launcher, "TSAN_OPTIONS",
                                     (suppressions + "log_path=" + logs + "/tsan").c_str(), TRUE);
        const std::string configArgument = "--config-file=" + (folder_ / "bus.conf");
        GError* error = nullptr;
        daemon_ = g_subprocess_launcher_spawn(launcher, &error, "dbus-daemon", configArgument.c_str(),
                                              "--nofork", "--print-address=1", nullptr);
        g_object_unref(launcher);
        if (daemon_ == nullptr) {
            ADD_FAILURE() << "dbus-daemon: " << error->message;
            g_error_free(error);
            return;
        }
        // The address line means the bus is listening.
        GDataInputStream* lines = g_data_input_stream_new(g_subprocess_get_stdout_pipe(daemon_));
        gchar* line = g_data_input_stream_read_line(lines, nullptr, nullptr, nullptr);
        EXPECT_NE(line, nullptr) << "dbus-daemon printed no address";
        g_free(line);
        g_object_unref(lines);
    }

    ~PrivateBus() {
        // The service that owns the name now is the last one to watch end.
        if (!services_.name.empty()) {
            if (auto pid = ownerPid()) {
                servicePids_.insert(*pid);
            }
        }
        for (GDBusConnection* connection : connections_) {
            g_dbus_connection_close_sync(connection, nullptr, nullptr);
            g_object_unref(connection);
        }
        if (daemon_ != nullptr) {
            g_subprocess_send_signal(daemon_, SIGTERM);
            g_subprocess_wait(daemon_, nullptr, nullptr);
            g_object_unref(daemon_);
        }
        // A service ends when its bus goes; its sanitizers write when it ends.
        for (pid_t pid : servicePids_) {
            EXPECT_TRUE(waitFor([&] { return hasEnded(pid); })) << "service " << pid << " still runs";
        }
        for (const auto& entry : std::filesystem::directory_iterator(folder_.path() / "sanitizer")) {
            std::ifstream log(entry.path());
            ADD_FAILURE() << "the service reported " << entry.path().filename() << ":\n" << log.rdbuf();
        }
        if (services_.keepLog && ::testing::Test::HasFailure()) {
            std::cerr << "the bus's log:\n" << log();
        }
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& address() const { return address_; }

    // What the daemon and its services wrote on standard error so far (with keepLog).
    std::string log() const {
        std::ifstream in(folder_ / "log", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // A new caller: its own connection, with its own unique name. Closed with the bus.
    GDBusConnection* connect() {
        GError* error = nullptr;
        GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
            address_.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        if (connection == nullptr) {
            ADD_FAILURE() << "could not connect: " << error->message;
            g_error_free(error);
            return nullptr;
        }
        g_dbus_connection_set_exit_on_close(connection, FALSE);
        connections_.push_back(connection);
        return connection;
    }

    // The pid of the process that owns the service's name now, if any; remembered, so that the
    // bus's end waits for it and checks its sanitizer logs.
    std::optional<pid_t> ownerPid() {
        if (control_ == nullptr) {
            control_ = connect();
            if (control_ == nullptr) {
                return std::nullopt;
            }
        }
        GVariant* result = g_dbus_connection_call_sync(
            control_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "GetConnectionUnixProcessID", g_variant_new("(s)", services_.name.c_str()), G_VARIANT_TYPE("(u)"),
            G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        if (result == nullptr) {
            return std::nullopt;
        }
        guint32 pid = 0;
        g_variant_get(result, "(u)", &pid);
        g_variant_unref(result);
        servicePids_.insert(static_cast<pid_t>(pid));
        return static_cast<pid_t>(pid);
    }

    // The unique name that owns the service's name now, or "".
    std::string ownerName() {
        if (control_ == nullptr) {
            control_ = connect();
        }
        GVariant* result = g_dbus_connection_call_sync(
            control_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
            g_variant_new("(s)", services_.name.c_str()), G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, 5000,
            nullptr, nullptr);
        if (result == nullptr) {
            return "";
        }
        const gchar* owner = nullptr;
        g_variant_get(result, "(&s)", &owner);
        std::string text = owner;
        g_variant_unref(result);
        return text;
    }

    // Gone, or a zombie nobody reaps yet.
    static bool hasEnded(pid_t pid) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        if (!status) {
            return true;
        }
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("State:", 0) == 0) {
                return line.find('Z') != std::string::npos || line.find('X') != std::string::npos;
            }
        }
        return true;
    }

private:
    PrivateBusServices services_;
    TempFolder folder_;
    std::string address_;
    GSubprocess* daemon_ = nullptr;
    GDBusConnection* control_ = nullptr;
    std::vector<GDBusConnection*> connections_;
    std::set<pid_t> servicePids_;
};

} // namespace test_support

// QuorvelAgent: the login item. Runs the agent on the GLib main loop until SIGTERM or SIGINT, or until
// another agent of the session holds the bus name.
#include "AppDelegate.hpp"
#include "CommandLine.hpp"
#include "MainBundle.hpp"
#include "MonitorFolders.hpp"
#include "RealPlatform.hpp"

#include <clocale>
#include <csignal>
#include <cstdio>
#include <gio/gio.h>
#include <glib-unix.h>
#include <string>

namespace {

using namespace std::chrono_literals;

constexpr int nameCheckTimeoutMs = 5000;
// What was posted before the end still reaches the server, unless it takes longer than this.
constexpr auto finishDeadline = 2s;

// Borrows the loop and the connection, which main owns.
struct Program {
    GMainLoop* loop = nullptr;
    GDBusConnection* connection = nullptr; // absent without a session bus
    std::string busName;
    agent::AppDelegate* delegate = nullptr;
    bool launched = false;
    bool terminated = false;
    guint nameOwner = 0;

    void terminate() {
        if (!terminated) {
            terminated = true;
            if (launched) {
                delegate->applicationWillTerminate();
            }
        }
        g_main_loop_quit(loop);
    }
};

// Whether some process of this session holds the agent's name already.
bool anotherAgentRuns(GDBusConnection* connection, const std::string& busName) {
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        g_variant_new("(s)", busName.c_str()), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE,
        nameCheckTimeoutMs, nullptr, nullptr);
    if (reply == nullptr) {
        return false;
    }
    gboolean owned = FALSE;
    g_variant_get(reply, "(b)", &owned);
    return owned != FALSE;
}

gboolean onSignal(gpointer data) {
    static_cast<Program*>(data)->terminate();
    return G_SOURCE_CONTINUE;
}

void onNameLost(GDBusConnection*, const gchar*, gpointer data) {
    // Taken by another agent, refused because one holds it, or the bus went away.
    static_cast<Program*>(data)->terminate();
}

gboolean launch(gpointer data) {
    auto& program = *static_cast<Program*>(data);
    if (program.terminated) {
        return G_SOURCE_REMOVE;
    }
    program.launched = true;
    program.delegate->applicationDidFinishLaunching();
    // The name is asked for once the agent watches, so its owner is an agent that is ready. Should a second
    // agent slip past the check in main, it loses here and ends long before its first change check.
    if (program.connection != nullptr) {
        program.nameOwner = g_bus_own_name_on_connection(program.connection, program.busName.c_str(),
                                                         G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE, nullptr,
                                                         onNameLost, &program, nullptr);
    }
    return G_SOURCE_REMOVE;
}

constexpr std::string_view summary =
    "Watches the launchd job folders of the user, the machine and the system, and posts a desktop\n"
    "notification for every job file that is new, modified or deleted. The desktop starts it at login\n"
    "from its autostart entry; SIGTERM or SIGINT ends it. Without a notification server each\n"
    "notification is a line on standard output.\n";

} // namespace

int main(int argc, char* argv[]) {
    if (const auto status = common::answerCommandLine(
            argc, argv, {"QuorvelAgent", QUORVEL_VERSION, summary, false}, stdout, stderr)) {
        return *status;
    }
    std::setlocale(LC_ALL, "");

    Program program;
    // First of all, so that a signal during the start still ends the program with status 0: it waits
    // for the loop, which quits at once.
    const guint terminateSource = g_unix_signal_add(SIGTERM, onSignal, &program);
    const guint interruptSource = g_unix_signal_add(SIGINT, onSignal, &program);
    program.busName = agent::mainBundleIdentifier() + ".QuorvelAgent";
    g_autoptr(GDBusConnection) connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    program.connection = connection;
    if (program.connection != nullptr) {
        // The loss of the bus ends the agent through its name, not by a raised SIGTERM mid-check.
        g_dbus_connection_set_exit_on_close(program.connection, FALSE);
        if (anotherAgentRuns(program.connection, program.busName)) {
            g_source_remove(terminateSource);
            g_source_remove(interruptSource);
            return 0;
        }
    }

    g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
    program.loop = loop;
    agent::AppDelegate delegate(agent::sharedMonitorFolders());
    program.delegate = &delegate;
    g_idle_add(launch, &program);

    g_main_loop_run(program.loop);

    // A check in progress at the signal has run to its end (the signal is handled on this loop); what it
    // posted is sent now.
    if (program.launched) {
        agent::finishNotifications(finishDeadline);
    }
    g_source_remove(terminateSource);
    g_source_remove(interruptSource);
    if (program.nameOwner != 0) {
        g_bus_unown_name(program.nameOwner);
    }
    if (program.connection != nullptr) {
        g_dbus_connection_flush_sync(program.connection, nullptr, nullptr);
    }
    return 0;
}

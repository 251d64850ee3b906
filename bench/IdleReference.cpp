// The idle benchmark's outside reference: the least a GLib program on the session bus does, owning one
// name and running the main loop.
#include <gio/gio.h>

int main() {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    const guint owner =
        g_bus_own_name(G_BUS_TYPE_SESSION, "app.quorvel.bench.IdleReference", G_BUS_NAME_OWNER_FLAGS_NONE,
                       nullptr, nullptr, nullptr, nullptr, nullptr);
    g_main_loop_run(loop);
    g_bus_unown_name(owner);
    g_main_loop_unref(loop);
    return 0;
}

#pragma once

#include <gio/gio.h>

namespace action_service {

// A connection to the message bus of `type` whose RunAction calls arrive holding only the entries a
// request reads (BusStreamFilter), so that what the service never reads is gone before GDBus turns a
// message into objects. GDBus reads and writes the socket of a socket connection, or of a socket
// stream, past any stream around them, so GDBus gets streams of its own over the socket's; and since it
// offers EXTERNAL only on a socket connection, the connection authenticates with EXTERNAL itself first.
// Unix file descriptors are not negotiated. A bus not reached over a Unix socket gets a plain GDBus
// connection. Blocks until the bus has answered Hello; nullptr and `error` set on failure.
GDBusConnection* connectFilteredBus(GBusType type, GError** error);

} // namespace action_service

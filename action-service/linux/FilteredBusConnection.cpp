#include "FilteredBusConnection.hpp"

#include "BusStreamFilter.hpp"

#include <algorithm>
#include <cstring>
#include <gio/gunixconnection.h>
#include <string>
#include <unistd.h>

namespace action_service {

namespace {

// The filtering input stream over the socket connection's input stream.
struct FilterStream {
    GInputStream parent;
    GIOStream* connection; // closed with this stream
    GInputStream* base;
    BusStreamFilter* filter;
    bool ended;
};

struct FilterStreamClass {
    GInputStreamClass parent;
};

FilterStream* filterStream(gpointer stream) {
    return static_cast<FilterStream*>(stream);
}

// Hands out what the filter has ready, reading the socket with `read` (blocking or not) until it has.
template <typename Read> gssize readFiltered(FilterStream& stream, void* buffer, gsize count, Read read) {
    for (;;) {
        const auto ready = stream.filter->ready();
        if (!ready.empty() || stream.ended) {
            const std::size_t given = std::min<std::size_t>(count, ready.size());
            if (given != 0) {
                std::memcpy(buffer, ready.data(), given);
            }
            stream.filter->consumed(given);
            return static_cast<gssize>(given);
        }
        const auto space = stream.filter->space();
        const gssize got = read(space.data(), space.size());
        if (got < 0) {
            return got;
        }
        if (got == 0) {
            stream.filter->ended();
            stream.ended = true;
        } else {
            stream.filter->received(static_cast<std::size_t>(got));
        }
    }
}

gssize readBlocking(GInputStream* input, void* buffer, gsize count, GCancellable* cancellable,
                    GError** error) {
    FilterStream& stream = *filterStream(input);
    return readFiltered(stream, buffer, count, [&](std::uint8_t* into, std::size_t room) {
        return g_input_stream_read(stream.base, into, room, cancellable, error);
    });
}

gssize readNonblocking(GPollableInputStream* input, void* buffer, gsize count, GError** error) {
    FilterStream& stream = *filterStream(input);
    return readFiltered(stream, buffer, count, [&](std::uint8_t* into, std::size_t room) {
        return g_pollable_input_stream_read_nonblocking(G_POLLABLE_INPUT_STREAM(stream.base), into, room,
                                                        nullptr, error);
    });
}

gboolean canPoll(GPollableInputStream*) {
    return TRUE;
}

gboolean isReadable(GPollableInputStream* input) {
    FilterStream& stream = *filterStream(input);
    return !stream.filter->ready().empty() || stream.ended ||
           g_pollable_input_stream_is_readable(G_POLLABLE_INPUT_STREAM(stream.base));
}

GSource* createSource(GPollableInputStream* input, GCancellable* cancellable) {
    FilterStream& stream = *filterStream(input);
    // Bytes already held are readable now; otherwise the socket decides.
    GSource* inner =
        !stream.filter->ready().empty() || stream.ended
            ? g_timeout_source_new(0)
            : g_pollable_input_stream_create_source(G_POLLABLE_INPUT_STREAM(stream.base), nullptr);
    GSource* source = g_pollable_source_new_full(input, inner, cancellable);
    g_source_unref(inner);
    return source;
}

gboolean closeStream(GInputStream* input, GCancellable* cancellable, GError** error) {
    return g_io_stream_close(filterStream(input)->connection, cancellable, error);
}

void finalize(GObject* object) {
    FilterStream& stream = *filterStream(object);
    delete stream.filter;
    g_object_unref(stream.connection);
    static_cast<GObjectClass*>(g_type_class_peek(G_TYPE_INPUT_STREAM))->finalize(object);
}

void classInit(gpointer klass, gpointer) {
    static_cast<GObjectClass*>(klass)->finalize = finalize;
    auto* input = static_cast<GInputStreamClass*>(klass);
    input->read_fn = readBlocking;
    input->close_fn = closeStream;
}

void pollableInit(gpointer iface, gpointer) {
    auto* pollable = static_cast<GPollableInputStreamInterface*>(iface);
    pollable->can_poll = canPoll;
    pollable->is_readable = isReadable;
    pollable->create_source = createSource;
    pollable->read_nonblocking = readNonblocking;
}

// A stream type that also implements its pollable interface. GLib copies the interface's info, as
// G_IMPLEMENT_INTERFACE relies on.
GType registerStreamType(GType parent, const char* name, guint classSize, GClassInitFunc classInit,
                         guint instanceSize, GType pollable, GInterfaceInitFunc pollableInit) {
    const GType registered = g_type_register_static_simple(parent, name, classSize, classInit, instanceSize,
                                                           nullptr, GTypeFlags{});
    const GInterfaceInfo info{pollableInit, nullptr, nullptr};
    g_type_add_interface_static(registered, pollable, &info);
    return registered;
}

GType filterStreamType() {
    static const GType type =
        registerStreamType(G_TYPE_INPUT_STREAM, "QuorvelBusFilterStream", sizeof(FilterStreamClass),
                           classInit, sizeof(FilterStream), G_TYPE_POLLABLE_INPUT_STREAM, pollableInit);
    return type;
}

// The socket connection's output stream, passed through: GDBus writes a socket output stream's socket
// directly, which only a socket connection may ask of it.
struct PassStream {
    GOutputStream parent;
    GOutputStream* base;
};

struct PassStreamClass {
    GOutputStreamClass parent;
};

GOutputStream* passBase(gpointer stream) {
    return static_cast<PassStream*>(stream)->base;
}

gssize writeBlocking(GOutputStream* output, const void* buffer, gsize count, GCancellable* cancellable,
                     GError** error) {
    return g_output_stream_write(passBase(output), buffer, count, cancellable, error);
}

gboolean flushBlocking(GOutputStream* output, GCancellable* cancellable, GError** error) {
    return g_output_stream_flush(passBase(output), cancellable, error);
}

gssize writeNonblocking(GPollableOutputStream* output, const void* buffer, gsize count, GError** error) {
    return g_pollable_output_stream_write_nonblocking(G_POLLABLE_OUTPUT_STREAM(passBase(output)), buffer,
                                                      count, nullptr, error);
}

gboolean canPollOutput(GPollableOutputStream*) {
    return TRUE;
}

gboolean isWritable(GPollableOutputStream* output) {
    return g_pollable_output_stream_is_writable(G_POLLABLE_OUTPUT_STREAM(passBase(output)));
}

GSource* createOutputSource(GPollableOutputStream* output, GCancellable* cancellable) {
    GSource* inner =
        g_pollable_output_stream_create_source(G_POLLABLE_OUTPUT_STREAM(passBase(output)), nullptr);
    GSource* source = g_pollable_source_new_full(output, inner, cancellable);
    g_source_unref(inner);
    return source;
}

void finalizeOutput(GObject* object) {
    g_object_unref(passBase(object));
    static_cast<GObjectClass*>(g_type_class_peek(G_TYPE_OUTPUT_STREAM))->finalize(object);
}

void outputClassInit(gpointer klass, gpointer) {
    static_cast<GObjectClass*>(klass)->finalize = finalizeOutput;
    auto* output = static_cast<GOutputStreamClass*>(klass);
    output->write_fn = writeBlocking;
    output->flush = flushBlocking;
}

void pollableOutputInit(gpointer iface, gpointer) {
    auto* pollable = static_cast<GPollableOutputStreamInterface*>(iface);
    pollable->can_poll = canPollOutput;
    pollable->is_writable = isWritable;
    pollable->create_source = createOutputSource;
    pollable->write_nonblocking = writeNonblocking;
}

GType passStreamType() {
    static const GType type = registerStreamType(G_TYPE_OUTPUT_STREAM, "QuorvelBusPassStream",
                                                 sizeof(PassStreamClass), outputClassInit, sizeof(PassStream),
                                                 G_TYPE_POLLABLE_OUTPUT_STREAM, pollableOutputInit);
    return type;
}

GOutputStream* newPassStream(GIOStream* connection) {
    auto* stream = static_cast<PassStream*>(g_object_new(passStreamType(), nullptr));
    stream->base = static_cast<GOutputStream*>(g_object_ref(g_io_stream_get_output_stream(connection)));
    return &stream->parent;
}

GInputStream* newFilterStream(GIOStream* connection) {
    auto* stream = static_cast<FilterStream*>(g_object_new(filterStreamType(), nullptr));
    stream->connection = static_cast<GIOStream*>(g_object_ref(connection));
    stream->base = g_io_stream_get_input_stream(connection);
    stream->filter = new BusStreamFilter();
    stream->ended = false;
    return &stream->parent;
}

bool fail(GError** error, const std::string& message) {
    g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_FAILED, message.c_str());
    return false;
}

// One line of the server's, read a byte at a time so that nothing after it is taken.
bool readLine(GInputStream* input, std::string& line, GError** error) {
    line.clear();
    constexpr std::size_t longest = 1024;
    while (line.size() < longest) {
        char byte = 0;
        const gssize got = g_input_stream_read(input, &byte, 1, nullptr, error);
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            return fail(error, "The bus closed the connection during authentication");
        }
        line += byte;
        if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) {
            line.resize(line.size() - 2);
            return true;
        }
    }
    return fail(error, "The bus sent too long a line during authentication");
}

bool writeText(GOutputStream* output, const std::string& text, GError** error) {
    return g_output_stream_write_all(output, text.data(), text.size(), nullptr, nullptr, error) != FALSE;
}

// EXTERNAL, as the bus knows the peer's user from the socket: the credentials byte, then AUTH with
// our user id (decimal, hex-encoded), then BEGIN once the bus says OK.
bool authenticate(GUnixConnection* connection, GError** error) {
    GOutputStream* output = g_io_stream_get_output_stream(G_IO_STREAM(connection));
    if (!g_unix_connection_send_credentials(connection, nullptr, error)) {
        return false;
    }
    std::string identity;
    for (char digit : std::to_string(::geteuid())) {
        static constexpr char hex[] = "0123456789abcdef";
        identity += hex[static_cast<unsigned char>(digit) >> 4];
        identity += hex[static_cast<unsigned char>(digit) & 0xF];
    }
    if (!writeText(output, "AUTH EXTERNAL " + identity + "\r\n", error)) {
        return false;
    }
    std::string line;
    if (!readLine(g_io_stream_get_input_stream(G_IO_STREAM(connection)), line, error)) {
        return false;
    }
    if (line.rfind("OK ", 0) != 0) {
        return fail(error, "The bus refused EXTERNAL authentication: " + line.substr(0, 200));
    }
    return writeText(output, "BEGIN\r\n", error);
}

} // namespace

GDBusConnection* connectFilteredBus(GBusType type, GError** error) {
    gchar* address = g_dbus_address_get_for_bus_sync(type, nullptr, error);
    if (address == nullptr) {
        return nullptr;
    }
    GIOStream* stream = g_dbus_address_get_stream_sync(address, nullptr, nullptr, error);
    g_free(address);
    if (stream == nullptr) {
        return nullptr;
    }
    GDBusConnection* connection = nullptr;
    if (!G_IS_UNIX_CONNECTION(stream)) {
        connection = g_dbus_connection_new_sync(
            stream, nullptr,
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, error);
    } else if (authenticate(G_UNIX_CONNECTION(stream), error)) {
        GInputStream* input = newFilterStream(stream);
        GOutputStream* output = newPassStream(stream);
        GIOStream* filtered = g_simple_io_stream_new(input, output);
        g_object_unref(input);
        g_object_unref(output);
        connection = g_dbus_connection_new_sync(
            filtered, nullptr, G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION, nullptr, nullptr, error);
        g_object_unref(filtered);
    }
    g_object_unref(stream);
    return connection;
}

} // namespace action_service

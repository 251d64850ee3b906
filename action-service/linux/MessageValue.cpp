#include "MessageValue.hpp"

#include "BusNames.hpp"
#include "RequestBuilder.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace action_service {

namespace {

using Type = RequestBuilder::Type;

// The type a key's value is read as, for each bus type that gives a value at all.
std::optional<Type> builderType(std::string_view signature) {
    if (signature == "b") {
        return Type::boolean;
    }
    if (signature.size() == 1 && std::strchr("ynqiuxt", signature[0]) != nullptr) {
        return Type::integer;
    }
    if (signature == "s" || signature == "o" || signature == "g") {
        return Type::text;
    }
    if (signature == "ay") {
        return Type::data;
    }
    return std::nullopt;
}

template <typename T> int readBasic(sd_bus_message* message, char type, T& value) {
    return sd_bus_message_read_basic(message, type, &value);
}

// An integer of the bus type `type` (C++ type T), handed to the builder as signed or unsigned as T is.
template <typename T>
int readInteger(sd_bus_message* message, char type, std::string_view key, RequestBuilder& request) {
    T value = 0;
    const int r = readBasic(message, type, value);
    if constexpr (std::is_signed_v<T> || sizeof(T) < sizeof(std::uint32_t)) {
        request.signedInteger(key, value);
    } else {
        request.unsignedInteger(key, value);
    }
    return r;
}

// The value (of a type the key is read as) at the read position, handed to the builder.
int readValue(sd_bus_message* message, std::string_view signature, std::string_view key,
              RequestBuilder& request) {
    int r = 0;
    switch (signature[0]) {
    case 'b': {
        int value = 0;
        r = readBasic(message, 'b', value);
        request.boolean(key, value != 0);
        break;
    }
    case 'y':
        r = readInteger<std::uint8_t>(message, 'y', key, request);
        break;
    case 'n':
        r = readInteger<std::int16_t>(message, 'n', key, request);
        break;
    case 'q':
        r = readInteger<std::uint16_t>(message, 'q', key, request);
        break;
    case 'i':
        r = readInteger<std::int32_t>(message, 'i', key, request);
        break;
    case 'u':
        r = readInteger<std::uint32_t>(message, 'u', key, request);
        break;
    case 'x':
        r = readInteger<std::int64_t>(message, 'x', key, request);
        break;
    case 't':
        r = readInteger<std::uint64_t>(message, 't', key, request);
        break;
    case 's':
    case 'o':
    case 'g': {
        const char* text = nullptr;
        r = readBasic(message, signature[0], text);
        if (r > 0) {
            request.text(key, text);
        }
        break;
    }
    default: { // ay
        const void* bytes = nullptr;
        std::size_t size = 0;
        r = sd_bus_message_read_array(message, 'y', &bytes, &size);
        if (r >= 0) {
            request.data(key, std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(bytes), size));
        }
        break;
    }
    }
    return r < 0 ? r : 0;
}

// The variant of one entry, looked through to the value; read if the key reads its type, else skipped.
int readEntryValue(sd_bus_message* message, std::string_view key, RequestBuilder& request) {
    int depth = 0;
    int r = 0;
    for (;;) {
        char type = 0;
        const char* contents = nullptr;
        r = sd_bus_message_peek_type(message, &type, &contents);
        if (r <= 0) {
            return r < 0 ? r : -EBADMSG;
        }
        if (type != SD_BUS_TYPE_VARIANT) {
            return -EBADMSG;
        }
        if (std::strcmp(contents, "v") != 0) {
            const std::optional<Type> wanted = builderType(contents);
            if (wanted && RequestBuilder::readsAs(key, *wanted)) {
                r = sd_bus_message_enter_container(message, SD_BUS_TYPE_VARIANT, contents);
                if (r < 0) {
                    return r;
                }
                ++depth;
                r = readValue(message, contents, key, request);
            } else {
                r = sd_bus_message_skip(message, "v");
            }
            break;
        }
        r = sd_bus_message_enter_container(message, SD_BUS_TYPE_VARIANT, contents);
        if (r < 0) {
            return r;
        }
        ++depth;
    }
    for (; depth > 0 && r >= 0; --depth) {
        r = sd_bus_message_exit_container(message);
    }
    return r;
}

std::size_t heldBytes(const Dictionary& request) {
    std::size_t bytes = 0;
    for (const auto& [key, value] : request) {
        bytes += key.size();
        if (const std::string* text = value.string()) {
            bytes += text->size();
        } else if (const Value::Data* data = value.data()) {
            bytes += data->size();
        }
    }
    return bytes;
}

int appendValue(sd_bus_message* message, const Value& value);

int appendVariant(sd_bus_message* message, const Value& value) {
    const char* signature = std::visit(
        [](const auto& held) -> const char* {
            using T = std::decay_t<decltype(held)>;
            if constexpr (std::is_same_v<T, bool>) {
                return "b";
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return "x";
            } else if constexpr (std::is_same_v<T, double>) {
                return "d";
            } else if constexpr (std::is_same_v<T, std::string>) {
                return "s";
            } else if constexpr (std::is_same_v<T, Value::Data>) {
                return "ay";
            } else if constexpr (std::is_same_v<T, Value::Array>) {
                return "av";
            } else {
                return "a{sv}";
            }
        },
        value.storage());
    int r = sd_bus_message_open_container(message, SD_BUS_TYPE_VARIANT, signature);
    if (r >= 0) {
        r = appendValue(message, value);
    }
    return r < 0 ? r : sd_bus_message_close_container(message);
}

int appendValue(sd_bus_message* message, const Value& value) {
    return std::visit(
        [message](const auto& held) -> int {
            using T = std::decay_t<decltype(held)>;
            if constexpr (std::is_same_v<T, bool>) {
                const int flag = held ? 1 : 0;
                return sd_bus_message_append_basic(message, 'b', &flag);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return sd_bus_message_append_basic(message, 'x', &held);
            } else if constexpr (std::is_same_v<T, double>) {
                return sd_bus_message_append_basic(message, 'd', &held);
            } else if constexpr (std::is_same_v<T, std::string>) {
                const std::string text = busString(held);
                return sd_bus_message_append_basic(message, 's', text.c_str());
            } else if constexpr (std::is_same_v<T, Value::Data>) {
                return sd_bus_message_append_array(message, 'y', held.data(), held.size());
            } else if constexpr (std::is_same_v<T, Value::Array>) {
                int r = sd_bus_message_open_container(message, SD_BUS_TYPE_ARRAY, "v");
                for (auto element = held.begin(); r >= 0 && element != held.end(); ++element) {
                    r = appendVariant(message, *element);
                }
                return r < 0 ? r : sd_bus_message_close_container(message);
            } else {
                return appendDictionary(message, held);
            }
        },
        value.storage());
}

} // namespace

std::optional<ReadRequest> readRequest(sd_bus_message* message) {
    RequestBuilder request;
    int r = sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "{sv}");
    if (r <= 0) {
        return std::nullopt;
    }
    for (;;) {
        r = sd_bus_message_enter_container(message, SD_BUS_TYPE_DICT_ENTRY, "sv");
        if (r <= 0) {
            break;
        }
        const char* key = nullptr;
        r = sd_bus_message_read_basic(message, SD_BUS_TYPE_STRING, &key);
        if (r <= 0) {
            r = r < 0 ? r : -EBADMSG;
            break;
        }
        r = RequestBuilder::reads(key) ? readEntryValue(message, key, request)
                                       : sd_bus_message_skip(message, "v");
        if (r < 0) {
            break;
        }
        r = sd_bus_message_exit_container(message);
        if (r < 0) {
            break;
        }
    }
    if (r < 0 || sd_bus_message_exit_container(message) < 0) {
        return std::nullopt;
    }
    ReadRequest read{request.take(), 0};
    read.bytes = heldBytes(read.request);
    return read;
}

int appendDictionary(sd_bus_message* message, const Dictionary& dictionary) {
    int r = sd_bus_message_open_container(message, SD_BUS_TYPE_ARRAY, "{sv}");
    for (auto entry = dictionary.begin(); r >= 0 && entry != dictionary.end(); ++entry) {
        r = sd_bus_message_open_container(message, SD_BUS_TYPE_DICT_ENTRY, "sv");
        if (r >= 0) {
            const std::string key = busString(entry->first);
            r = sd_bus_message_append_basic(message, SD_BUS_TYPE_STRING, key.c_str());
        }
        if (r >= 0) {
            r = appendVariant(message, entry->second);
        }
        if (r >= 0) {
            r = sd_bus_message_close_container(message);
        }
    }
    return r < 0 ? r : sd_bus_message_close_container(message);
}

} // namespace action_service

#include "VariantValue.hpp"

#include "BusNames.hpp"
#include "RequestBuilder.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace action_service {

namespace {

// Unrefs a variant that g_variant_iter_next or g_variant_get_variant handed out.
struct VariantRef {
    GVariant* variant;
    ~VariantRef() { g_variant_unref(variant); }
};

void addEntry(RequestBuilder& request, std::string_view key, GVariant* value) {
    switch (g_variant_classify(value)) {
    case G_VARIANT_CLASS_BOOLEAN:
        request.boolean(key, g_variant_get_boolean(value) != FALSE);
        break;
    case G_VARIANT_CLASS_BYTE:
        request.signedInteger(key, g_variant_get_byte(value));
        break;
    case G_VARIANT_CLASS_INT16:
        request.signedInteger(key, g_variant_get_int16(value));
        break;
    case G_VARIANT_CLASS_UINT16:
        request.signedInteger(key, g_variant_get_uint16(value));
        break;
    case G_VARIANT_CLASS_INT32:
        request.signedInteger(key, g_variant_get_int32(value));
        break;
    case G_VARIANT_CLASS_UINT32:
        request.unsignedInteger(key, g_variant_get_uint32(value));
        break;
    case G_VARIANT_CLASS_INT64:
        request.signedInteger(key, g_variant_get_int64(value));
        break;
    case G_VARIANT_CLASS_UINT64:
        request.unsignedInteger(key, g_variant_get_uint64(value));
        break;
    case G_VARIANT_CLASS_DOUBLE:
        request.real(key, g_variant_get_double(value));
        break;
    case G_VARIANT_CLASS_STRING:
    case G_VARIANT_CLASS_OBJECT_PATH:
    case G_VARIANT_CLASS_SIGNATURE: {
        gsize length = 0;
        const gchar* text = g_variant_get_string(value, &length);
        request.text(key, std::string_view(text, length));
        break;
    }
    case G_VARIANT_CLASS_ARRAY:
        if (g_variant_is_of_type(value, G_VARIANT_TYPE_BYTESTRING)) {
            gsize length = 0;
            const auto* bytes =
                static_cast<const std::uint8_t*>(g_variant_get_fixed_array(value, &length, sizeof(guint8)));
            request.data(key, std::span<const std::uint8_t>(bytes, length));
        }
        break;
    default:
        break;
    }
}

} // namespace

Dictionary requestFromVariant(GVariant* dictionary) {
    RequestBuilder request;
    GVariantIter iter;
    g_variant_iter_init(&iter, dictionary);
    const gchar* key = nullptr;
    GVariant* entry = nullptr;
    while (g_variant_iter_next(&iter, "{&sv}", &key, &entry)) {
        VariantRef owned{entry};
        if (!RequestBuilder::reads(key)) {
            continue;
        }
        // A variant in a variant in ...: the bus bounds how deep.
        GVariant* value = g_variant_ref(entry);
        while (g_variant_is_of_type(value, G_VARIANT_TYPE_VARIANT)) {
            GVariant* inner = g_variant_get_variant(value);
            g_variant_unref(value);
            value = inner;
        }
        VariantRef unwrapped{value};
        addEntry(request, key, value);
    }
    return request.take();
}

GVariant* variantFromDictionary(const Dictionary& dictionary) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    for (const auto& [key, value] : dictionary) {
        const std::string busKey = busString(key);
        g_variant_builder_add(&builder, "{sv}", busKey.c_str(), variantFromValue(value));
    }
    return g_variant_builder_end(&builder);
}

GVariant* variantFromValue(const Value& value) {
    return std::visit(
        [](const auto& held) -> GVariant* {
            using T = std::decay_t<decltype(held)>;
            if constexpr (std::is_same_v<T, bool>) {
                return g_variant_new_boolean(held ? TRUE : FALSE);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return g_variant_new_int64(held);
            } else if constexpr (std::is_same_v<T, double>) {
                return g_variant_new_double(held);
            } else if constexpr (std::is_same_v<T, std::string>) {
                const std::string text = busString(held);
                return g_variant_new_string(text.c_str());
            } else if constexpr (std::is_same_v<T, Value::Data>) {
                return g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, held.data(), held.size(),
                                                 sizeof(guint8));
            } else if constexpr (std::is_same_v<T, Value::Array>) {
                GVariantBuilder builder;
                g_variant_builder_init(&builder, G_VARIANT_TYPE("av"));
                for (const Value& element : held) {
                    g_variant_builder_add(&builder, "v", variantFromValue(element));
                }
                return g_variant_builder_end(&builder);
            } else {
                return variantFromDictionary(held);
            }
        },
        value.storage());
}

} // namespace action_service

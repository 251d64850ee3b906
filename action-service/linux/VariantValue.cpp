#include "VariantValue.hpp"

#include "BusNames.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>

namespace action_service {

namespace {
// Unrefs a variant that g_variant_iter_next or g_variant_get_child_value handed out.
struct VariantRef {
    GVariant* variant;
    ~VariantRef() { g_variant_unref(variant); }
};
} // namespace

std::optional<Value> valueFromVariant(GVariant* variant) {
    const GVariantType* type = g_variant_get_type(variant);
    switch (g_variant_classify(variant)) {
    case G_VARIANT_CLASS_BOOLEAN:
        return Value(g_variant_get_boolean(variant) != FALSE);
    case G_VARIANT_CLASS_BYTE:
        return Value(std::int64_t{g_variant_get_byte(variant)});
    case G_VARIANT_CLASS_INT16:
        return Value(std::int64_t{g_variant_get_int16(variant)});
    case G_VARIANT_CLASS_UINT16:
        return Value(std::int64_t{g_variant_get_uint16(variant)});
    case G_VARIANT_CLASS_INT32:
        return Value(std::int64_t{g_variant_get_int32(variant)});
    case G_VARIANT_CLASS_UINT32:
        return Value(std::int64_t{g_variant_get_uint32(variant)});
    case G_VARIANT_CLASS_INT64:
        return Value(std::int64_t{g_variant_get_int64(variant)});
    case G_VARIANT_CLASS_UINT64: {
        const std::uint64_t raw = g_variant_get_uint64(variant);
        if (raw > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return Value(static_cast<double>(raw));
        }
        return Value(static_cast<std::int64_t>(raw));
    }
    case G_VARIANT_CLASS_DOUBLE:
        return Value(g_variant_get_double(variant));
    case G_VARIANT_CLASS_STRING:
    case G_VARIANT_CLASS_OBJECT_PATH:
    case G_VARIANT_CLASS_SIGNATURE: {
        gsize length = 0;
        const gchar* text = g_variant_get_string(variant, &length);
        return Value(std::string(text, length));
    }
    case G_VARIANT_CLASS_VARIANT: {
        VariantRef inner{g_variant_get_variant(variant)};
        return valueFromVariant(inner.variant);
    }
    case G_VARIANT_CLASS_ARRAY:
        if (g_variant_type_equal(type, G_VARIANT_TYPE_BYTESTRING)) {
            gsize length = 0;
            const auto* bytes =
                static_cast<const std::uint8_t*>(g_variant_get_fixed_array(variant, &length, sizeof(guint8)));
            return Value(Value::Data(bytes, bytes + length));
        }
        if (g_variant_type_equal(type, G_VARIANT_TYPE_VARDICT)) {
            return Value(dictionaryFromVariant(variant));
        } else {
            Value::Array array;
            const gsize count = g_variant_n_children(variant);
            array.reserve(count);
            for (gsize i = 0; i < count; ++i) {
                VariantRef child{g_variant_get_child_value(variant, i)};
                if (auto value = valueFromVariant(child.variant)) {
                    array.push_back(std::move(*value));
                }
            }
            return Value(std::move(array));
        }
    default:
        return std::nullopt;
    }
}

Dictionary dictionaryFromVariant(GVariant* variant) {
    Dictionary dictionary;
    GVariantIter iter;
    g_variant_iter_init(&iter, variant);
    const gchar* key = nullptr;
    GVariant* entry = nullptr;
    while (g_variant_iter_next(&iter, "{&sv}", &key, &entry)) {
        VariantRef owned{entry};
        if (auto value = valueFromVariant(entry)) {
            dictionary.insert_or_assign(std::string(key), std::move(*value));
        }
    }
    return dictionary;
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

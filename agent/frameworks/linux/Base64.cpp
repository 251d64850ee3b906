#include "../Mortar.hpp"

#include <glib.h>

namespace mortar {

void toBase64(std::string& text) {
    gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>(text.data()), text.size());
    text = encoded;
    g_free(encoded);
}

} // namespace mortar

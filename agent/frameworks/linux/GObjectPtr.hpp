#pragma once

#include <glib-object.h>
#include <memory>

namespace agent {

// A GObject reference held by an object rather than a scope (where g_autoptr serves): dropped with it.
struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T> using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

} // namespace agent

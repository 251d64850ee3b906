// Follows Apple Developer Documentation: Logging (os_log, os_log_with_type, os_log_error, os_log_t,
// os_log_type_t, OS_LOG_DEFAULT, os_log_type_enabled). As in the SDK the macros format through
// __builtin_os_log_format, so clang checks each format string and its privacy annotations
// ("%{public}s") against the arguments.
#pragma once

#include <os/object.h>
#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

OS_OBJECT_DECL(os_log);
typedef uint8_t os_log_type_t;
enum : os_log_type_t {
    OS_LOG_TYPE_DEFAULT = 0x00,
    OS_LOG_TYPE_INFO = 0x01,
    OS_LOG_TYPE_DEBUG = 0x02,
    OS_LOG_TYPE_ERROR = 0x10,
    OS_LOG_TYPE_FAULT = 0x11,
};

extern struct os_log_s _os_log_default;
#define OS_LOG_DEFAULT ((OS_OBJECT_BRIDGE os_log_t)(&_os_log_default))

struct mach_header;
extern struct mach_header __dso_handle;
bool os_log_type_enabled(os_log_t oslog, os_log_type_t type);
void _os_log_impl(void* dso, os_log_t log, os_log_type_t type, const char* format, uint8_t* buf,
                  uint32_t size);

#define os_log_with_type(log, type, format, ...)                                                             \
    __extension__({                                                                                          \
        os_log_t _log_tmp = (log);                                                                           \
        os_log_type_t _type_tmp = (type);                                                                    \
        if (os_log_type_enabled(_log_tmp, _type_tmp)) {                                                      \
            __attribute__((uninitialized, aligned(16)))                                                      \
            uint8_t _os_log_buf[__builtin_os_log_format_buffer_size(format, ##__VA_ARGS__)];                 \
            _os_log_impl(&__dso_handle, _log_tmp, _type_tmp, format,                                         \
                         (uint8_t*)__builtin_os_log_format(_os_log_buf, format, ##__VA_ARGS__),              \
                         (uint32_t)sizeof(_os_log_buf));                                                     \
        }                                                                                                    \
    })
#define os_log(log, format, ...) os_log_with_type(log, OS_LOG_TYPE_DEFAULT, format, ##__VA_ARGS__)
#define os_log_error(log, format, ...) os_log_with_type(log, OS_LOG_TYPE_ERROR, format, ##__VA_ARGS__)

#ifdef __cplusplus
}
#endif

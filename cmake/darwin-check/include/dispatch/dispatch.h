// Follows Apple Developer Documentation: Dispatch (dispatch_object_t, dispatch_queue_t,
// dispatch_queue_main_t, dispatch_semaphore_t, dispatch_block_t, dispatch_function_t, dispatch_time_t,
// DISPATCH_TIME_NOW, DISPATCH_TIME_FOREVER, NSEC_PER_SEC, dispatch_get_main_queue, dispatch_queue_create,
// DISPATCH_QUEUE_SERIAL, dispatch_async, dispatch_after, dispatch_sync_f, dispatch_time,
// dispatch_semaphore_create, dispatch_semaphore_signal, dispatch_semaphore_wait, dispatch_retain,
// dispatch_release). Dispatch objects follow os/object.h.
#pragma once

#include <os/object.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if OS_OBJECT_USE_OBJC
OS_OBJECT_DECL(dispatch_object);
#else
struct dispatch_object_s {};
typedef dispatch_object_s* dispatch_object_t;
#endif
OS_OBJECT_DECL_SUBCLASS(dispatch_queue, dispatch_object);
OS_OBJECT_DECL_SUBCLASS(dispatch_queue_serial, dispatch_queue);
OS_OBJECT_DECL_SUBCLASS(dispatch_queue_main, dispatch_queue_serial);
OS_OBJECT_DECL_SUBCLASS(dispatch_queue_attr, dispatch_object);
OS_OBJECT_DECL_SUBCLASS(dispatch_semaphore, dispatch_object);

#ifdef __BLOCKS__
typedef void (^dispatch_block_t)(void);
#endif
typedef void (*dispatch_function_t)(void* context);
typedef uint64_t dispatch_time_t;
#define DISPATCH_TIME_NOW (0ull)
#define DISPATCH_TIME_FOREVER (~0ull)
#define NSEC_PER_SEC 1000000000ull
#define DISPATCH_QUEUE_SERIAL NULL

dispatch_queue_main_t dispatch_get_main_queue(void);
dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t attr);
#ifdef __BLOCKS__
void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);
void dispatch_after(dispatch_time_t when, dispatch_queue_t queue, dispatch_block_t block);
#endif
void dispatch_sync_f(dispatch_queue_t queue, void* context, dispatch_function_t work);
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);

dispatch_semaphore_t dispatch_semaphore_create(long value);
long dispatch_semaphore_signal(dispatch_semaphore_t dsema);
long dispatch_semaphore_wait(dispatch_semaphore_t dsema, dispatch_time_t timeout);

void dispatch_retain(dispatch_object_t object) OS_OBJECT_ARC_UNAVAILABLE;
void dispatch_release(dispatch_object_t object) OS_OBJECT_ARC_UNAVAILABLE;

#ifdef __cplusplus
}
#endif

// Follows Apple's malloc_zone manual page malloc(3) and <malloc/malloc.h> (malloc_zone_t,
// malloc_zone_pressure_relief: a NULL zone means every zone, a goal of 0 as much as can be given back).
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _malloc_zone_t malloc_zone_t;
size_t malloc_zone_pressure_relief(malloc_zone_t* zone, size_t goal);

#ifdef __cplusplus
}
#endif

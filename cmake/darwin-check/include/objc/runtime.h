// Follows Apple Developer Documentation: Objective-C Runtime (Method, Ivar, Category, objc_property_t).
#pragma once

#include <objc/objc.h>

typedef struct objc_method* Method;
typedef struct objc_ivar* Ivar;
typedef struct objc_category* Category;
typedef struct objc_property* objc_property_t;

// The runtime types GNUstep's Foundation headers need, for the darwin check: clang's gnustep-2.0 runtime
// supplies the objects, these only name them. Follows Apple Developer Documentation: Objective-C Runtime
// (id, Class, SEL, IMP, BOOL).
#pragma once

// GNUstep's headers take the modern runtime interface (<objc/runtime.h>) when this is defined.
#define __GNU_LIBOBJC__ 20110608

typedef struct objc_class* Class;
typedef struct objc_object* id;
typedef struct objc_selector* SEL;
typedef id (*IMP)(id, SEL, ...);
typedef signed char BOOL;
#define YES ((BOOL)1)
#define NO ((BOOL)0)
#ifndef nil
#define nil nullptr
#endif
#ifndef Nil
#define Nil nullptr
#endif

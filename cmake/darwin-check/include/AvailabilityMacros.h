// Follows Apple Developer Documentation: AvailabilityMacros (MAC_OS_X_VERSION_MIN_REQUIRED from the
// deployment target that clang predefines).
#pragma once

#include <TargetConditionals.h>

#define MAC_OS_X_VERSION_10_15 101500
#define MAC_OS_X_VERSION_MIN_REQUIRED __ENVIRONMENT_MAC_OS_X_VERSION_MIN_REQUIRED__
#define MAC_OS_X_VERSION_MAX_ALLOWED MAC_OS_X_VERSION_MIN_REQUIRED

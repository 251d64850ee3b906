// GNUstep's NSWorkspace.h and the property it lacks. Follows Apple Developer Documentation: NSWorkspace,
// menuBarOwningApplication.
#pragma once

#include_next <AppKit/NSWorkspace.h>

@class NSRunningApplication;

@interface NSWorkspace (MenuBarOwningApplication)
@property(readonly, strong) NSRunningApplication* menuBarOwningApplication;
@end

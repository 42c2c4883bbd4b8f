// Compile-only check of the Windows build: the toolchain's own x64 kernel headers lay out
// every structure that the driver touches as WindowsX64Layouts.h says, the same table
// that the host platform's Kernel.h is asserted against. A drift on either side breaks a
// build instead of a run of a loaded driver image.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <stddef.h>

#include "host/WindowsX64Layouts.h"

RAILWATCH_ASSERT_X64_LAYOUTS()

// The one door through which the driver reaches the kernel.
//
// On Windows this is the toolchain's own DDK header plus the compiler's port intrinsics;
// on the host it is our simulated kernel. The driver's code names only what both offer,
// so the same text builds for both. Code placement (INIT, PAGE) is declared here once.
#pragma once

#if defined(_WIN32)
// The DDK header redefines two intrinsics that intrin.h already defined in C++ mode.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <intrin.h>
#include <string.h>

#define WIDE_TEXT(text) L##text
// DriverEntry is discarded once the driver has loaded; the PAGE routines may be paged out.
#define INIT_CODE __attribute__((section("INIT")))
#define PAGEABLE_CODE __attribute__((section("PAGE")))

inline void WritePortByte(USHORT port, UCHAR value) { __outbyte(port, value); }
inline UCHAR ReadPortByte(USHORT port) { return __inbyte(port); }

#else
#include "host/Kernel.h"

#include <cstring>

#define WIDE_TEXT(text) u##text
#define INIT_CODE
#define PAGEABLE_CODE

inline void WritePortByte(USHORT port, UCHAR value) { HostPortWriteByte(port, value); }
inline UCHAR ReadPortByte(USHORT port) { return HostPortReadByte(port); }
#endif

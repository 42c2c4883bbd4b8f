// The one door through which the driver reaches the kernel.
//
// On Windows this is the toolchain's own DDK header plus the compiler's port intrinsics;
// on the host it is our simulated kernel. The driver's code names only what both offer,
// so the same text builds for both. Code placement (INIT, PAGE) is declared here once, and
// so is the placement of the driver's writable globals (DRIVER_DATA).
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
// A fresh load maps a fresh copy of the image: the globals start from their initialisers.
#define DRIVER_DATA

inline void WritePortByte(USHORT port, UCHAR value) { __outbyte(port, value); }
inline UCHAR ReadPortByte(USHORT port) { return __inbyte(port); }

#else
#include "host/Kernel.h"

#include <cstring>

#define WIDE_TEXT(text) u##text
#define INIT_CODE
#define PAGEABLE_CODE
// Every writable global of the driver lives in this one section, so that the host can
// give each run the values the driver itself defines, as a fresh load does on Windows: the
// section is copied before the driver first runs and copied back before each new run.
// The linker marks the section's range with __start_railwatch_driver_data and
// __stop_railwatch_driver_data.
#define DRIVER_DATA __attribute__((section("railwatch_driver_data")))

inline void WritePortByte(USHORT port, UCHAR value) { HostPortWriteByte(port, value); }
inline UCHAR ReadPortByte(USHORT port) { return HostPortReadByte(port); }
#endif

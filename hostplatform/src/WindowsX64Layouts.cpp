// The host's kernel structures laid out as on Windows x64: every field that a driver or
// the toolchain's inline request helpers touch sits at the offset, and has the size, of
// the table in WindowsX64Layouts.h, which the Windows build checks against the
// toolchain's own headers. A driver image loaded on the host then reads and writes the
// platform's objects where it expects them.
#include "host/WindowsX64Layouts.h"

#include "host/Kernel.h"

#include <cstddef>

#if defined(__x86_64__)
// Pointer fields are measured with sizeof on purpose: their width is part of the layout.
RAILWATCH_ASSERT_X64_LAYOUTS()  // NOLINT(bugprone-sizeof-expression)
#endif

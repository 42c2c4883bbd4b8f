// The one door through which the library reaches Win32: KERNEL32 on Windows, the
// simulated Win32 layer on the host.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include "host/Win32.h"

#include <cstddef>
#endif

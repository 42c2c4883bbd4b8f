// The Win32 routines that the API library uses, on the host.
//
// Same names, arguments and (on x86-64) calling convention as KERNEL32's, our own types.
// Handles lead through the simulated I/O manager (Platform.h) to whatever driver owns the
// device.
#pragma once

#include <cstdint>

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using LPVOID = void*;
using LPCVOID = const void*;
using LPCSTR = const char*;
using LPDWORD = DWORD*;
using HANDLE = void*;
using HGLOBAL = void*;
using HINSTANCE = void*;
using HMODULE = void*;
using SIZE_T_W32 = std::size_t;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
// The Windows x64 calling convention, which a loaded x64 DLL calls and expects.
#if defined(__x86_64__)
#define WINAPI __attribute__((ms_abi))
#else
#define WINAPI
#endif
#define APIENTRY WINAPI

#define INVALID_HANDLE_VALUE ((HANDLE)(std::intptr_t)-1)

#define GMEM_FIXED 0x0000
#define GMEM_MOVEABLE 0x0002
#define GMEM_ZEROINIT 0x0040
#define GMEM_DDESHARE 0x2000

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define OPEN_EXISTING 3

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define ERROR_SUCCESS 0
#define ERROR_INVALID_FUNCTION 1
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_NOT_READY 21
#define ERROR_GEN_FAILURE 31
#define ERROR_NOT_SUPPORTED 50
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_DEVICE_NOT_CONNECTED 1167

struct SECURITY_ATTRIBUTES;
struct OVERLAPPED;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using LPOVERLAPPED = OVERLAPPED*;

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T_W32 dwBytes);
LPVOID WINAPI GlobalLock(HGLOBAL hMem);
BOOL WINAPI GlobalUnlock(HGLOBAL hMem);
HGLOBAL WINAPI GlobalFree(HGLOBAL hMem);

void WINAPI SetLastError(DWORD dwErrCode);
DWORD WINAPI GetLastError();

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
BOOL WINAPI CloseHandle(HANDLE hObject);

namespace host {
// Global blocks allocated and not yet freed.
std::size_t OutstandingGlobalBlocks();
// Handles from CreateFileA not yet closed.
std::size_t OpenHandleCount();
// The Win32 error code that DeviceIoControl reports for a failure status.
DWORD Win32ErrorFromStatus(std::int32_t status);
}  // namespace host

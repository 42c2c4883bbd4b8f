// The Win32 calls of the API library: memory blocks, the thread's last error, file
// handles on devices and buffered device control.
//
// Handles and block handles are small numbers of our own, never addresses, so a library
// that confuses a block handle with its memory is caught. Block memory is a heap block of
// exactly the asked size for the address sanitizer's sake.
#include "Internal.h"
#include "host/Win32.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

using namespace host;

namespace {

struct GlobalBlock {
    std::unique_ptr<unsigned char[]> memory;
    unsigned locks = 0;
};

struct Win32 {
    std::mutex mutex;
    std::uintptr_t nextHandle = 0x1000;
    std::map<HGLOBAL, GlobalBlock> blocks;
    std::map<HANDLE, FILE_OBJECT*> files;
};

Win32& State() {
    static Win32 state;
    return state;
}

thread_local DWORD t_lastError = ERROR_SUCCESS;

// The caller holds the lock.
void* NewHandle() {
    auto& next = State().nextHandle;
    next += 4;
    return reinterpret_cast<void*>(next);
}

}  // namespace

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T_W32 dwBytes) {
    if (detail::EnterRoutine("GlobalAlloc")) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    detail::RegisterIoSide();
    GlobalBlock block;
    block.memory.reset(new unsigned char[dwBytes]);  // exactly dwBytes
    if ((uFlags & GMEM_ZEROINIT) != 0) {
        std::memset(block.memory.get(), 0, dwBytes);
    }
    std::lock_guard lock(State().mutex);
    HGLOBAL handle = NewHandle();
    State().blocks.emplace(handle, std::move(block));
    return handle;
}

LPVOID WINAPI GlobalLock(HGLOBAL hMem) {
    detail::EnterRoutine("GlobalLock");
    std::lock_guard lock(State().mutex);
    const auto found = State().blocks.find(hMem);
    if (found == State().blocks.end()) {
        t_lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    ++found->second.locks;
    return found->second.memory.get();
}

BOOL WINAPI GlobalUnlock(HGLOBAL hMem) {
    detail::EnterRoutine("GlobalUnlock");
    std::lock_guard lock(State().mutex);
    const auto found = State().blocks.find(hMem);
    if (found == State().blocks.end()) {
        t_lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    auto& locks = found->second.locks;
    if (locks > 0) {
        --locks;
    }
    if (locks == 0) {
        t_lastError = ERROR_SUCCESS;  // FALSE with no error: the block is unlocked now
        return FALSE;
    }
    return TRUE;
}

HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) {
    detail::EnterRoutine("GlobalFree");
    GlobalBlock released;
    std::lock_guard lock(State().mutex);
    const auto found = State().blocks.find(hMem);
    if (found == State().blocks.end()) {
        t_lastError = ERROR_INVALID_HANDLE;
        return hMem;  // failure hands the handle back
    }
    released = std::move(found->second);
    State().blocks.erase(found);
    return nullptr;
}

void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

DWORD WINAPI GetLastError() { return t_lastError; }

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    UNREFERENCED_PARAMETER(dwDesiredAccess);
    UNREFERENCED_PARAMETER(dwShareMode);
    UNREFERENCED_PARAMETER(lpSecurityAttributes);
    UNREFERENCED_PARAMETER(dwFlagsAndAttributes);
    UNREFERENCED_PARAMETER(hTemplateFile);
    NTSTATUS status = STATUS_SUCCESS;
    if (detail::EnterRoutine("CreateFileA", &status)) {
        t_lastError = Win32ErrorFromStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    detail::RegisterIoSide();
    constexpr std::string_view kDevicePrefix = "\\\\.\\";
    const std::string_view path = lpFileName != nullptr ? lpFileName : "";
    if (dwCreationDisposition != OPEN_EXISTING ||
        path.substr(0, kDevicePrefix.size()) != kDevicePrefix ||
        path.size() == kDevicePrefix.size()) {
        // Only existing devices can be opened here; anything else names no file.
        t_lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    FILE_OBJECT* file =
        OpenFile(u"\\DosDevices\\" + detail::Widen(path.substr(kDevicePrefix.size())), &status);
    if (file == nullptr) {
        t_lastError = Win32ErrorFromStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard lock(State().mutex);
    HANDLE handle = NewHandle();
    State().files.emplace(handle, file);
    return handle;
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    detail::EnterRoutine("DeviceIoControl");
    FILE_OBJECT* file = nullptr;
    {
        std::lock_guard lock(State().mutex);
        const auto found = State().files.find(hDevice);
        if (found != State().files.end()) {
            file = found->second;
        }
    }
    if (file == nullptr || lpOverlapped != nullptr) {
        t_lastError = file == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    const IoResult result = DeviceControl(file, dwIoControlCode, lpInBuffer, nInBufferSize,
                                          lpOutBuffer, nOutBufferSize);
    if (!NT_SUCCESS(result.status)) {
        if (lpBytesReturned != nullptr) {
            *lpBytesReturned = 0;
        }
        t_lastError = Win32ErrorFromStatus(result.status);
        return FALSE;
    }
    if (lpBytesReturned != nullptr) {
        *lpBytesReturned = static_cast<DWORD>(result.information);
    }
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    detail::EnterRoutine("CloseHandle");
    FILE_OBJECT* file = nullptr;
    {
        std::lock_guard lock(State().mutex);
        const auto found = State().files.find(hObject);
        if (found != State().files.end()) {
            file = found->second;
            State().files.erase(found);
        }
    }
    if (file == nullptr) {
        t_lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    CloseFile(file);
    return TRUE;
}

namespace host {

std::size_t OutstandingGlobalBlocks() {
    std::lock_guard lock(State().mutex);
    return State().blocks.size();
}

std::size_t OpenHandleCount() {
    std::lock_guard lock(State().mutex);
    return State().files.size();
}

DWORD Win32ErrorFromStatus(std::int32_t status) {
    if (NT_SUCCESS(status)) {
        return ERROR_SUCCESS;
    }
    switch (status) {
        case STATUS_BUFFER_TOO_SMALL:
            return ERROR_INSUFFICIENT_BUFFER;
        case STATUS_INVALID_PARAMETER:
        case STATUS_INVALID_PARAMETER_1:
        case STATUS_INVALID_PARAMETER_2:
            return ERROR_INVALID_PARAMETER;
        case STATUS_INVALID_DEVICE_REQUEST:
        case STATUS_NOT_IMPLEMENTED:
            return ERROR_INVALID_FUNCTION;
        case STATUS_ACCESS_DENIED:
        case STATUS_DELETE_PENDING:
            return ERROR_ACCESS_DENIED;
        case STATUS_NO_SUCH_DEVICE:
            return ERROR_DEVICE_NOT_CONNECTED;  // the handle's device is gone
        case STATUS_OBJECT_NAME_NOT_FOUND:
            return ERROR_FILE_NOT_FOUND;
        case STATUS_INSUFFICIENT_RESOURCES:
            return ERROR_NOT_ENOUGH_MEMORY;
        case STATUS_NOT_SUPPORTED:
            return ERROR_NOT_SUPPORTED;
        case STATUS_DEVICE_NOT_READY:
            return ERROR_NOT_READY;
        default:
            return ERROR_GEN_FAILURE;
    }
}

namespace detail {

// Open handles are closed without requests to their drivers: the machine is going away.
void ResetWin32() {
    std::map<HGLOBAL, GlobalBlock> blocks;
    {
        std::lock_guard lock(State().mutex);
        blocks.swap(State().blocks);
        State().files.clear();
        State().nextHandle = 0x1000;
    }
}

}  // namespace detail
}  // namespace host

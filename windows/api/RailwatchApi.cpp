// RailwatchApi: the user-mode library through which applications read the supplies.
//
// One process-wide device record, opened on the driver's symbolic link; each read is one
// buffered device-control request whose 2-byte buffer carries the state in byte 1. The
// library takes no locks: callers serialise their calls. It links KERNEL32 only, so it
// uses no C runtime routine either.
#include "RailwatchApi.h"

#include "Win32Services.h"

// The driver's control codes: device type 0x22, functions 0x911 and 0x912, buffered.
#define IOCTL_GET_PWR1_STATUS 0x222444
#define IOCTL_GET_PWR2_STATUS 0x222448

#define RAILWATCH_EXCHANGE_LENGTH 2
#define RAILWATCH_EXCHANGE_STATE_BYTE 1

static const char kDevicePath[] = "\\\\.\\RailwatchDrvDev";

// The record behind a handle; the handle is its locked address.
struct DEVICE_HANDLE {
    HGLOBAL hGlobal;  // the block that holds this record
    HANDLE hDevice;   // the driver's device
    unsigned char ioBuffer[RAILWATCH_EXCHANGE_LENGTH];
};

// The process's one open device, or NULL.
static DEVICE_HANDLE* g_pDevice = NULL;

static const char* const kMessages[] = {
    "Railwatch_SUCCESS: Railwatch Operation Succeed",
    "Railwatch_Memory_Allocate_Failed: Not Enough Memory",
    "Railwatch_OpenDevice_Failed: Open Railwatch Device Failed",
    "Railwatch_INVALID_HANDLE: Invalid Device Handle",
};
static_assert(sizeof("Railwatch_OpenDevice_Failed: Open Railwatch Device Failed") ==
                  Railwatch_MESSAGE_BUFFER_SIZE,
              "the longest message fills the documented buffer size");

extern "C" int RAILWATCH_CALL Railwatch_DeviceOpen(DEVICE_HANDLE** phDevice) {
    if (phDevice == NULL) {
        return Railwatch_INVALID_HANDLE;
    }
    if (g_pDevice != NULL) {
        *phDevice = g_pDevice;
        return Railwatch_SUCCESS;
    }

    HGLOBAL block = GlobalAlloc(GMEM_DDESHARE | GMEM_ZEROINIT, sizeof(DEVICE_HANDLE));
    if (block == NULL) {
        *phDevice = NULL;
        return Railwatch_Memory_Allocate_Failed;
    }
    DEVICE_HANDLE* device = (DEVICE_HANDLE*)GlobalLock(block);

    SetLastError(0);
    device->hDevice = CreateFileA(kDevicePath, GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (device->hDevice == INVALID_HANDLE_VALUE) {
        // The caller learns why from GetLastError: keep CreateFileA's reason.
        const DWORD reason = GetLastError();
        GlobalUnlock(block);
        GlobalFree(block);
        SetLastError(reason);
        *phDevice = NULL;
        return Railwatch_OpenDevice_Failed;
    }

    device->hGlobal = block;
    g_pDevice = device;
    *phDevice = device;
    return Railwatch_SUCCESS;
}

extern "C" int RAILWATCH_CALL Railwatch_Get(DEVICE_HANDLE* hDevice, unsigned char index,
                                            unsigned char* pStatus) {
    if (hDevice == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return Railwatch_INVALID_HANDLE;
    }
    DWORD ioControlCode;
    if (index == Railwatch_PWR1) {
        ioControlCode = IOCTL_GET_PWR1_STATUS;
    } else if (index == Railwatch_PWR2) {
        ioControlCode = IOCTL_GET_PWR2_STATUS;
    } else {
        return Railwatch_INVALID_INDEX;
    }
    // Only the process's open device is read. Any other handle (one that an earlier close
    // ended, say) is refused by its value alone: its record may be freed, and following it
    // could send the request to an unrelated handle.
    if (hDevice != g_pDevice) {
        SetLastError(ERROR_INVALID_HANDLE);
        return Railwatch_INVALID_HANDLE;
    }
    if (pStatus == NULL) {
        return Railwatch_INVALID_HANDLE;
    }

    DWORD bytesReturned = 0;
    if (!DeviceIoControl(hDevice->hDevice, ioControlCode, hDevice->ioBuffer,
                         RAILWATCH_EXCHANGE_LENGTH, hDevice->ioBuffer, RAILWATCH_EXCHANGE_LENGTH,
                         &bytesReturned, NULL)) {
        // No answer (the device is gone, say): never hand out a stale state. The last-error
        // value stays as DeviceIoControl set it.
        return Railwatch_INVALID_HANDLE;
    }
    *pStatus = hDevice->ioBuffer[RAILWATCH_EXCHANGE_STATE_BYTE];
    return Railwatch_SUCCESS;
}

extern "C" int RAILWATCH_CALL Railwatch_DeviceClose(DEVICE_HANDLE** phDevice) {
    if (phDevice == NULL || *phDevice == NULL) {
        return Railwatch_INVALID_HANDLE;
    }
    // Whatever non-null handle the caller holds, the process's one device is closed.
    if (g_pDevice != NULL) {
        HGLOBAL block = g_pDevice->hGlobal;
        CloseHandle(g_pDevice->hDevice);
        g_pDevice = NULL;
        GlobalUnlock(block);
        GlobalFree(block);
    }
    return Railwatch_SUCCESS;
}

extern "C" int RAILWATCH_CALL Railwatch_GetErrorMessage(unsigned int code, char* buffer) {
    if (code < sizeof(kMessages) / sizeof(kMessages[0]) && buffer != NULL) {
        const char* message = kMessages[code];
        unsigned int i = 0;
        do {
            buffer[i] = message[i];
        } while (message[i++] != '\0');
    }
    return Railwatch_SUCCESS;
}

// Loading opens nothing and unloading closes nothing.
extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID reserved) {
    (void)hInstance;
    (void)reason;
    (void)reserved;
    return TRUE;
}

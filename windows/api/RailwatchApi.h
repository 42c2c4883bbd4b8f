/* RailwatchApi: read the state of a board's two power supplies, PWR1 and PWR2.
 *
 * Open the device once, read either supply as often as needed, close it:
 *
 *     DEVICE_HANDLE* device = NULL;
 *     unsigned char state = 0;
 *     if (Railwatch_DeviceOpen(&device) == Railwatch_SUCCESS &&
 *         Railwatch_Get(device, Railwatch_PWR1, &state) == Railwatch_SUCCESS) {
 *         ... state is 1 when the supply is good, 0 when it has failed ...
 *     }
 *     Railwatch_DeviceClose(&device);
 *
 * A process has one open device, shared by all its callers; calls are not serialised by
 * the library. Railwatch_GetErrorMessage writes up to 58 bytes (with the NUL).
 * Plain C; the functions use the cdecl calling convention and undecorated names. */
#ifndef RAILWATCH_API_H
#define RAILWATCH_API_H

#if defined(_WIN32)
#define RAILWATCH_CALL __cdecl
#elif defined(__x86_64__)
/* A build for an x86-64 host that simulates Windows uses the Windows x64 convention, the
 * one the x64 DLL's functions have, so that callers reach both the same way. */
#define RAILWATCH_CALL __attribute__((ms_abi))
#else
#define RAILWATCH_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
#define Railwatch_SUCCESS 0
#define Railwatch_Memory_Allocate_Failed 1
#define Railwatch_OpenDevice_Failed 2
#define Railwatch_INVALID_HANDLE 3
#define Railwatch_INVALID_INDEX 4

/* Supply indexes for Railwatch_Get. */
#define Railwatch_PWR1 1
#define Railwatch_PWR2 2

/* The longest message, with its terminating NUL. */
#define Railwatch_MESSAGE_BUFFER_SIZE 58

/* The open device; callers only pass it back. */
typedef struct DEVICE_HANDLE DEVICE_HANDLE;

/* Opens the driver's device, or hands out the one already open. Writes the handle (NULL
 * on failure) to *phDevice. Returns 0, 1 (no memory) or 2 (no driver: GetLastError tells
 * why). */
int RAILWATCH_CALL Railwatch_DeviceOpen(DEVICE_HANDLE** phDevice);

/* Reads supply `index` (1 or 2) into *pStatus: 1 good, 0 failed. Returns 0, 3 (null
 * handle, or the driver did not answer; *pStatus is then left as it was) or 4 (another
 * index; *pStatus left as it was). */
int RAILWATCH_CALL Railwatch_Get(DEVICE_HANDLE* hDevice, unsigned char index,
                                 unsigned char* pStatus);

/* Closes the process's open device when *phDevice is not NULL. Returns 0, or 3 when
 * *phDevice is NULL. *phDevice is left as it was. */
int RAILWATCH_CALL Railwatch_DeviceClose(DEVICE_HANDLE** phDevice);

/* Copies the message of result code 0 to 3 into `buffer` (at least 58 bytes); other codes
 * leave it untouched. Returns 0. */
int RAILWATCH_CALL Railwatch_GetErrorMessage(unsigned int code, char* buffer);

#ifdef __cplusplus
}
#endif

#endif /* RAILWATCH_API_H */

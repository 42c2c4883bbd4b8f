// What the platform exports to images: the routines of ntoskrnl.exe that a driver may
// import and those of KERNEL32.dll that the library may import, by name.
//
// Every routine here uses the Windows x64 calling convention, as an image calls it. The C
// library routines that ntoskrnl.exe exports (memcpy, memset, memcmp, strncmp) are the
// host's own behind a wrapper of that convention.
#include "Internal.h"
#include "host/Win32.h"

#include <cstring>

namespace {

#define RAILWATCH_IMAGE_CALL __attribute__((ms_abi))

void* RAILWATCH_IMAGE_CALL ImageMemcpy(void* destination, const void* source, SIZE_T bytes) {
    return std::memcpy(destination, source, bytes);
}
void* RAILWATCH_IMAGE_CALL ImageMemset(void* destination, int value, SIZE_T bytes) {
    return std::memset(destination, value, bytes);
}
int RAILWATCH_IMAGE_CALL ImageMemcmp(const void* first, const void* second, SIZE_T bytes) {
    return std::memcmp(first, second, bytes);
}
int RAILWATCH_IMAGE_CALL ImageStrncmp(const char* first, const char* second, SIZE_T count) {
    return std::strncmp(first, second, count);
}

struct Export {
    const char* name;
    void* address;
};

template <typename Routine>
void* Address(Routine routine) {
    return reinterpret_cast<void*>(routine);
}

const Export kKernelExports[] = {
    {"DbgPrint", Address(DbgPrint)},
    {"ExAllocatePoolWithTag", Address(ExAllocatePoolWithTag)},
    {"ExFreePoolWithTag", Address(ExFreePoolWithTag)},
    {"IoAcquireRemoveLockEx", Address(IoAcquireRemoveLockEx)},
    {"IoAttachDeviceToDeviceStack", Address(IoAttachDeviceToDeviceStack)},
    {"IoCreateDevice", Address(IoCreateDevice)},
    {"IoCreateSymbolicLink", Address(IoCreateSymbolicLink)},
    {"IoDeleteDevice", Address(IoDeleteDevice)},
    {"IoDeleteSymbolicLink", Address(IoDeleteSymbolicLink)},
    {"IoDetachDevice", Address(IoDetachDevice)},
    {"IoInitializeRemoveLockEx", Address(IoInitializeRemoveLockEx)},
    {"IoRegisterDeviceInterface", Address(IoRegisterDeviceInterface)},
    {"IoReleaseRemoveLockAndWaitEx", Address(IoReleaseRemoveLockAndWaitEx)},
    {"IoReleaseRemoveLockEx", Address(IoReleaseRemoveLockEx)},
    {"IoSetDeviceInterfaceState", Address(IoSetDeviceInterfaceState)},
    {"IofCallDriver", Address(IofCallDriver)},
    {"IofCompleteRequest", Address(IofCompleteRequest)},
    {"KeAcquireSpinLockRaiseToDpc", Address(KeAcquireSpinLockRaiseToDpc)},
    {"KeInitializeEvent", Address(KeInitializeEvent)},
    {"KeReleaseSpinLock", Address(KeReleaseSpinLock)},
    {"KeSetEvent", Address(KeSetEvent)},
    {"KeWaitForSingleObject", Address(KeWaitForSingleObject)},
    {"MmMapIoSpace", Address(MmMapIoSpace)},
    {"MmUnmapIoSpace", Address(MmUnmapIoSpace)},
    {"PoCallDriver", Address(PoCallDriver)},
    {"PoStartNextPowerIrp", Address(PoStartNextPowerIrp)},
    {"RtlCopyUnicodeString", Address(RtlCopyUnicodeString)},
    {"RtlFreeUnicodeString", Address(RtlFreeUnicodeString)},
    {"RtlInitUnicodeString", Address(RtlInitUnicodeString)},
    {"RtlWriteRegistryValue", Address(RtlWriteRegistryValue)},
    {"memcmp", Address(ImageMemcmp)},
    {"memcpy", Address(ImageMemcpy)},
    {"memset", Address(ImageMemset)},
    {"strncmp", Address(ImageStrncmp)},
};

const Export kWin32Exports[] = {
    {"CloseHandle", Address(CloseHandle)},         {"CreateFileA", Address(CreateFileA)},
    {"DeviceIoControl", Address(DeviceIoControl)}, {"GetLastError", Address(GetLastError)},
    {"GlobalAlloc", Address(GlobalAlloc)},         {"GlobalFree", Address(GlobalFree)},
    {"GlobalLock", Address(GlobalLock)},           {"GlobalUnlock", Address(GlobalUnlock)},
    {"SetLastError", Address(SetLastError)},
};

template <std::size_t Count>
void* Find(const Export (&table)[Count], std::string_view routine) {
    for (const Export& entry : table) {
        if (routine == entry.name) return entry.address;
    }
    return nullptr;
}

}  // namespace

namespace host::detail {

void* FindPlatformExport(std::string_view dll, std::string_view routine) {
    if (EqualsIgnoreCase(dll, "ntoskrnl.exe")) return Find(kKernelExports, routine);
    if (EqualsIgnoreCase(dll, "KERNEL32.dll")) return Find(kWin32Exports, routine);
    return nullptr;
}

}  // namespace host::detail

/* What the small test drivers share: the few kernel names they use, declared here with
 * the Windows x64 layout of the driver object (these drivers are built with the mingw-w64
 * compiler but without the kernel headers, so that each stays a handful of instructions). */
#ifndef RAILWATCH_TEST_DRIVER_H
#define RAILWATCH_TEST_DRIVER_H

typedef long NTSTATUS;
typedef struct DriverObject DriverObject;
typedef void DriverUnloadRoutine(DriverObject* driver);

/* The driver object as the kernel lays it out on x64: the unload routine at byte 104. */
struct DriverObject {
    unsigned char before[104];
    DriverUnloadRoutine* unload;
};

#define INIT_CODE __attribute__((section("INIT")))

NTSTATUS DriverEntry(DriverObject* driver, void* registryPath);

#endif

/* A driver whose entry calls a routine at an address where nothing is mapped. */
#include "TestDriver.h"

typedef NTSTATUS Routine(void);
Routine* volatile g_routine = (Routine*)0x10;

NTSTATUS DriverEntry(DriverObject* driver, void* registryPath) {
    (void)driver;
    (void)registryPath;
    return g_routine() + 1; /* not a tail call: the return address stays in the image */
}

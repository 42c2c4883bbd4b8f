/* A driver whose entry disables interrupts: a privileged instruction in user mode. */
#include "TestDriver.h"

NTSTATUS DriverEntry(DriverObject* driver, void* registryPath) {
    (void)driver;
    (void)registryPath;
    __asm__ volatile("cli");
    return 0;
}

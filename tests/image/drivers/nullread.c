/* A driver whose entry reads through a null pointer. */
#include "TestDriver.h"

int* volatile g_nothing;

NTSTATUS DriverEntry(DriverObject* driver, void* registryPath) {
    (void)driver;
    (void)registryPath;
    return *g_nothing;
}

/* A driver that leaves its unload routine in INIT, which is discarded once DriverEntry
 * returned: the later unload calls into code that is gone. */
#include "TestDriver.h"

INIT_CODE static void UnloadInInit(DriverObject* driver) { (void)driver; }

INIT_CODE NTSTATUS DriverEntry(DriverObject* driver, void* registryPath) {
    (void)registryPath;
    driver->unload = UnloadInInit;
    return 0;
}

/* link: -Wl,--disable-reloc-section
 * A driver without a relocation section whose code addresses its data only relative to
 * the instruction pointer: it runs wherever it is mapped. DriverEntry returns 5. */
#include "TestDriver.h"

static volatile int g_five = 5;

NTSTATUS DriverEntry(DriverObject* driver, void* registryPath) {
    (void)driver;
    (void)registryPath;
    return g_five;
}

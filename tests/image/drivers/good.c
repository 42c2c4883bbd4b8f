/* A well-formed driver: imports by name, absolute addresses that need base relocations,
 * its entry in INIT, a variable that tells whether this copy of the image ran before,
 * and an export. DriverEntry returns 7 when its relocated pointer table reads back right
 * and the image is a fresh copy (its run counter starts from the file's 0). */
#include "TestDriver.h"

unsigned long DbgPrint(const char* format, ...);
void* MmMapIoSpace(long long physical, unsigned long long bytes, int caching);

static int g_seven = 7;
static int g_runs = 0;
/* Absolute addresses in data: each one is a DIR64 base relocation. */
int* volatile g_table[] = {&g_runs, &g_seven};
void* volatile g_imports[] = {(void*)DbgPrint, (void*)MmMapIoSpace};

__declspec(dllexport) int GoodRuns(void) { return g_runs; }

INIT_CODE NTSTATUS DriverEntry(DriverObject* driver, void* registryPath) {
    (void)driver;
    (void)registryPath;
    return ++*g_table[0] == 1 ? *g_table[1] : -1;
}

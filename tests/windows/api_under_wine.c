/* Loads RailwatchApi.dll the way an application does and checks its exports and its
 * behaviour when no driver is present (run under Wine, or on Windows without the driver).
 * Built for x86 and for x64, each against the library of its own architecture.
 *
 * On x86 every call goes through probe_call, which pushes the arguments, calls and reads
 * the stack pointer before restoring it: a cdecl function leaves its arguments for the
 * caller to remove, a stdcall one removes them itself. x64 has one calling convention,
 * so there the exports are called directly.
 *
 * Usage: api_under_wine.exe [path of RailwatchApi.dll]
 * Prints one line per check and "N passed, N failed"; exits 1 when a check failed. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#if defined(__i386__)
/* Calls fn with count 32-bit arguments; *moved receives the stack pointer right after
 * the call minus the one before the arguments were pushed. */
extern unsigned probe_call(FARPROC fn, unsigned count, const unsigned* arguments, int* moved);
__asm__(
    ".text\n"
    ".globl _probe_call\n"
    "_probe_call:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %ebx\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    movl 12(%ebp), %ebx\n"
    "    movl 16(%ebp), %esi\n"
    "    movl %esp, %edi\n"
    "1:  testl %ebx, %ebx\n"
    "    jz 2f\n"
    "    decl %ebx\n"
    "    pushl (%esi,%ebx,4)\n"
    "    jmp 1b\n"
    "2:  call *8(%ebp)\n"
    "    movl %esp, %edx\n"
    "    subl %edi, %edx\n"
    "    movl 20(%ebp), %ecx\n"
    "    movl %edx, (%ecx)\n"
    "    movl %edi, %esp\n"
    "    popl %edi\n"
    "    popl %esi\n"
    "    popl %ebx\n"
    "    popl %ebp\n"
    "    ret\n");
#endif

static int passed;
static int failed;
#if defined(__i386__)
static int stack_faults;
#endif

static void check(int ok, const char* what) {
    printf("%s  %s\n", ok ? "ok  " : "FAIL", what);
    if (ok) {
        ++passed;
    } else {
        ++failed;
    }
}

struct Export {
    unsigned ordinal;
    const char* name;
    unsigned arguments;
    int cdecl_convention; /* 0: stdcall */
    FARPROC address;
};

static struct Export exports[] = {
    {1, "Railwatch_DeviceClose", 1, 1, NULL},
    {2, "Railwatch_DeviceOpen", 1, 1, NULL},
    {3, "Railwatch_Get", 3, 1, NULL},
    {4, "Railwatch_GetErrorMessage", 2, 1, NULL},
    {5, "DllMain", 3, 0, NULL},
};
enum { DEVICE_CLOSE, DEVICE_OPEN, GET, GET_ERROR_MESSAGE, DLL_MAIN, EXPORT_COUNT };

/* Calls an export and, on x86, checks that the stack is left as its calling convention
 * says. Every export returns an int-sized value (int or BOOL). */
static unsigned call(int which, UINT_PTR a0, UINT_PTR a1, UINT_PTR a2) {
    const struct Export* e = &exports[which];
#if !defined(__i386__)
    /* Surplus arguments travel in registers that the callee ignores. */
    typedef int (*Export3)(UINT_PTR, UINT_PTR, UINT_PTR);
    return (unsigned)((Export3)(void (*)(void))e->address)(a0, a1, a2);
#else
    const unsigned arguments[3] = {a0, a1, a2};
    int moved = 0;
    unsigned result = probe_call(e->address, e->arguments, arguments, &moved);
    const int expected = e->cdecl_convention ? -(int)(4 * e->arguments) : 0;
    if (moved != expected) {
        ++stack_faults;
        char line[160];
        snprintf(line, sizeof line, "%s: %s call leaves the stack pointer at %d, expected %d",
                 e->name, e->cdecl_convention ? "cdecl" : "stdcall", moved, expected);
        check(0, line);
    }
    return result;
#endif
}

static const char* const messages[] = {
    "Railwatch_SUCCESS: Railwatch Operation Succeed",
    "Railwatch_Memory_Allocate_Failed: Not Enough Memory",
    "Railwatch_OpenDevice_Failed: Open Railwatch Device Failed",
    "Railwatch_INVALID_HANDLE: Invalid Device Handle",
};

#define CANARY 0xA5
#define BUFFER_SIZE 128

static int untouched(const unsigned char* buffer, size_t from) {
    for (size_t i = from; i < BUFFER_SIZE; ++i) {
        if (buffer[i] != CANARY) {
            return 0;
        }
    }
    return 1;
}

static void check_messages(void) {
    char line[200];
    unsigned char buffer[BUFFER_SIZE];
    for (unsigned code = 0; code < 4; ++code) {
        memset(buffer, CANARY, sizeof buffer);
        unsigned result = call(GET_ERROR_MESSAGE, code, (UINT_PTR)buffer, 0);
        size_t length = strlen(messages[code]) + 1;
        int ok =
            result == 0 && memcmp(buffer, messages[code], length) == 0 && untouched(buffer, length);
        snprintf(line, sizeof line, "message %u: \"%s\", %u bytes with the NUL, nothing beyond",
                 code, ok ? (const char*)buffer : "?", (unsigned)length);
        check(ok, line);
    }
    memset(buffer, CANARY, sizeof buffer);
    call(GET_ERROR_MESSAGE, 2, (UINT_PTR)buffer, 0);
    check(!untouched(buffer, 57) && untouched(buffer, 58), "message 2 writes exactly 58 bytes");

    const unsigned others[] = {4, 5, 0x80000000u, 0xFFFFFFFFu};
    for (unsigned i = 0; i < sizeof others / sizeof others[0]; ++i) {
        memset(buffer, CANARY, sizeof buffer);
        unsigned result = call(GET_ERROR_MESSAGE, others[i], (UINT_PTR)buffer, 0);
        snprintf(line, sizeof line, "message %#x: returns 0 and leaves the buffer", others[i]);
        check(result == 0 && untouched(buffer, 0), line);
    }
}

static void check_without_driver(void) {
    char line[200];
    void* handle = (void*)0x1234;
    SetLastError(0xDEAD);
    unsigned result = call(DEVICE_OPEN, (UINT_PTR)&handle, 0, 0);
    DWORD reason = GetLastError();
    snprintf(line, sizeof line,
             "no driver: Railwatch_DeviceOpen returns %u (2), handle %p (null), GetLastError %lu "
             "(%s)",
             result, handle, (unsigned long)reason,
             reason == ERROR_FILE_NOT_FOUND   ? "ERROR_FILE_NOT_FOUND"
             : reason == ERROR_PATH_NOT_FOUND ? "ERROR_PATH_NOT_FOUND"
                                              : "unexpected");
    check(result == 2 && handle == NULL &&
              (reason == ERROR_FILE_NOT_FOUND || reason == ERROR_PATH_NOT_FOUND),
          line);

    unsigned char state = 0x77;
    result = call(GET, 0, 1, (UINT_PTR)&state);
    check(result == 3 && state == 0x77,
          "Railwatch_Get with a null handle returns 3 and leaves the status byte");

    const unsigned indexes[] = {0, 3, 255};
    for (unsigned i = 0; i < sizeof indexes / sizeof indexes[0]; ++i) {
        state = 0x77;
        result = call(GET, 0x1000, indexes[i], (UINT_PTR)&state);
        snprintf(line, sizeof line,
                 "Railwatch_Get index %u with a non-null handle returns %u (4), status byte %#x "
                 "(left 0x77)",
                 indexes[i], result, state);
        check(result == 4 && state == 0x77, line);
    }

    void* none = NULL;
    result = call(DEVICE_CLOSE, (UINT_PTR)&none, 0, 0);
    check(result == 3 && none == NULL, "Railwatch_DeviceClose with a null variable returns 3");

    void* stale = (void*)0x1000;
    result = call(DEVICE_CLOSE, (UINT_PTR)&stale, 0, 0);
    check(result == 0 && stale == (void*)0x1000,
          "Railwatch_DeviceClose with nothing open returns 0 and leaves the variable");
}

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "RailwatchApi.dll";
    char line[200];
    HMODULE library = LoadLibraryA(path);
    snprintf(line, sizeof line, "LoadLibraryA(\"%s\")", path);
    check(library != NULL, line);
    if (library == NULL) {
        printf("%d passed, %d failed\n", passed, failed);
        return 1;
    }

    int resolved = 1;
    for (int i = 0; i < EXPORT_COUNT; ++i) {
        struct Export* e = &exports[i];
        FARPROC by_ordinal = GetProcAddress(library, MAKEINTRESOURCEA(e->ordinal));
        FARPROC by_name = GetProcAddress(library, e->name);
        e->address = by_ordinal;
        snprintf(line, sizeof line, "export @%u %s: by ordinal %p, by name %p", e->ordinal, e->name,
                 (void*)by_ordinal, (void*)by_name);
        check(by_ordinal != NULL && by_ordinal == by_name, line);
        resolved = resolved && by_ordinal != NULL;
    }
    if (resolved) {
        check(call(DLL_MAIN, (UINT_PTR)library, DLL_THREAD_ATTACH, 0) == TRUE,
              "DllMain returns TRUE");
        check_messages();
        check_without_driver();
#if defined(__i386__)
        check(stack_faults == 0,
              "every call left the stack as its convention says (cdecl: the caller pops; "
              "DllMain stdcall)");
#endif
    }
    FreeLibrary(library);
    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

/* A driver that talks to the Super I/O chip with port instructions in all four forms
 * (port in DX and 8-bit port numbers): it enters the configuration mode, reads the chip
 * ID register and leaves. DriverEntry returns the ID it read, or 0xBAD when a value that
 * it kept in registers across the port instructions came back changed. */
#include "TestDriver.h"

static inline void OutDx(unsigned short port, unsigned char value) {
    __asm__ volatile("outb %0, %1" : : "a"(value), "Nd"(port));
}
static inline unsigned char InDx(unsigned short port) {
    unsigned char value;
    __asm__ volatile("inb %1, %0" : "=a"(value) : "Nd"(port));
    return value;
}

volatile unsigned long long g_seed = 1;

NTSTATUS DriverEntry(DriverObject* driver, void* registryPath) {
    (void)driver;
    (void)registryPath;
    volatile unsigned short indexPort = 0x2E;
    unsigned char id;
    /* Live in general and SSE registers across every port instruction below. */
    const unsigned long long a = g_seed * 3, b = g_seed * 5, c = g_seed * 7, d = g_seed * 11;
    const unsigned long long e = g_seed * 13, f = g_seed * 17, g = g_seed * 19;
    const double x = (double)g_seed * 1.5, y = (double)g_seed * 2.5;
    __asm__ volatile("outb %0, $0x2E" : : "a"((unsigned char)0x87)); /* 0xE6 0x2E */
    OutDx(indexPort, 0x87);                                          /* 0xEE */
    OutDx(indexPort, 0x20);
    id = InDx((unsigned short)(indexPort + 1)); /* 0xEC */
    __asm__ volatile("inb $0x2F, %0" : "=a"(id)); /* 0xE4 0x2F: the same register again */
    OutDx(indexPort, 0xAA);
    if (a + b + c + d + e + f + g != 75 * g_seed || x * y != 3.75 * (double)(g_seed * g_seed))
        return 0xBAD;
    return id;
}

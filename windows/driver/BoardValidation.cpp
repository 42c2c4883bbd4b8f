// Board validation: does the BIOS image show one of the boards this driver serves?
//
// Runs once, inside DriverEntry, at PASSIVE_LEVEL, before any routine is installed. It
// only reads physical memory (0xF0000-0xFFFFF), each routine releasing every mapping and
// pool block it made before it returns.
#include "RailwatchDrv.h"

#define AWARD_SIGNATURE_ADDRESS 0xFE061
#define AWARD_SIGNATURE "Phoenix - AwardBIOS"
#define AWARD_MARKER_WINDOW 0xFEC80
#define AMI_SIGNATURE_ADDRESS 0xFF400
#define AMI_SIGNATURE "AMIBIOS"
#define AMI_MARKER_WINDOW 0xFE840

#define MARKER_WINDOW_LENGTH 32
#define BOARD_MARKER_FIRST 0x41   // 'A'
#define BOARD_MARKER_SECOND 0x4B  // 'K'

#define FAMILY_SCAN_START 0xF0000
#define FAMILY_SCAN_END 0x100000
#define SCAN_WINDOW_LENGTH 2048

#define FAMILY_PREFIX_COUNT 9
#define FAMILY_PREFIX_SIZE 5

// Board-family name prefixes, tried in this order; each entry is NUL-padded.
static const char g_BoardFamilyPrefixes[FAMILY_PREFIX_COUNT][FAMILY_PREFIX_SIZE] = {
    "KEV-", "RBZ", "OLMI", "ZUTR", "HEGO", "WYN", "FOJ", "VEB", "JOK",
};

static PVOID MapPhysical(ULONG physicalAddress, SIZE_T length) {
    PHYSICAL_ADDRESS address;
    address.QuadPart = physicalAddress;
    return MmMapIoSpace(address, length, MmCached);
}

// TRUE when the bytes at the address equal the first `Length` characters of `Expected`.
// A NUL byte in memory within the length counts as a difference.
BOOLEAN ComparePhysicalMemory(ULONG PhysicalAddress, const char* Expected, SIZE_T Length) {
    PVOID mapped = MapPhysical(PhysicalAddress, Length);
    if (mapped == NULL) {
        return FALSE;
    }
    const BOOLEAN equal = strncmp((const char*)mapped, Expected, Length) == 0;
    MmUnmapIoSpace(mapped, Length);
    return equal;
}

// TRUE when the needle lies wholly inside the 2048-byte window. The window is searched in
// a pool copy; NUL bytes in it are ordinary bytes.
BOOLEAN FindStringInPhysicalWindow(ULONG PhysicalAddress, const char* Needle) {
    if (Needle == NULL) {
        return FALSE;
    }
    PVOID mapped = MapPhysical(PhysicalAddress, SCAN_WINDOW_LENGTH);
    if (mapped == NULL) {
        return FALSE;
    }
    PUCHAR window = (PUCHAR)ExAllocatePoolWithTag(PagedPool, SCAN_WINDOW_LENGTH + 1,
                                                  RAILWATCH_TAG_BOARD_WINDOW);
    if (window == NULL) {
        MmUnmapIoSpace(mapped, SCAN_WINDOW_LENGTH);
        return FALSE;
    }
    RtlCopyMemory(window, mapped, SCAN_WINDOW_LENGTH);
    window[SCAN_WINDOW_LENGTH] = 0;

    SIZE_T needleLength = 0;
    while (Needle[needleLength] != 0) {
        needleLength++;
    }

    BOOLEAN found = needleLength == 0;
    for (SIZE_T start = 0; !found && start + needleLength <= SCAN_WINDOW_LENGTH; start++) {
        found = window[start] == (UCHAR)Needle[0] &&
                memcmp(window + start + 1, Needle + 1, needleLength - 1) == 0;
    }

    MmUnmapIoSpace(mapped, SCAN_WINDOW_LENGTH);
    ExFreePoolWithTag(window, 0);
    return found;
}

// TRUE when the two marker bytes stand side by side inside the 32-byte window.
static BOOLEAN WindowHoldsBoardMarker(const UCHAR* window) {
    for (ULONG offset = 0; offset + 1 < MARKER_WINDOW_LENGTH; offset++) {
        if (window[offset] == BOARD_MARKER_FIRST && window[offset + 1] == BOARD_MARKER_SECOND) {
            return TRUE;
        }
    }
    return FALSE;
}

// TRUE when one of the family prefixes lies wholly inside one of the scan windows.
static BOOLEAN BiosAreaHoldsFamilyPrefix() {
    for (ULONG windowBase = FAMILY_SCAN_START; windowBase < FAMILY_SCAN_END;
         windowBase += SCAN_WINDOW_LENGTH) {
        for (ULONG prefix = 0; prefix < FAMILY_PREFIX_COUNT; prefix++) {
            if (FindStringInPhysicalWindow(windowBase, g_BoardFamilyPrefixes[prefix])) {
                return TRUE;
            }
        }
    }
    return FALSE;
}

BOOLEAN CheckValidBoard() {
    DbgPrint("---->CheckValidBoard!---->\n\n");

    ULONG markerWindowAddress;
    BOOLEAN bFamilyScanAllowed;
    if (ComparePhysicalMemory(AWARD_SIGNATURE_ADDRESS, AWARD_SIGNATURE,
                              sizeof(AWARD_SIGNATURE) - 1)) {
        markerWindowAddress = AWARD_MARKER_WINDOW;
        bFamilyScanAllowed = FALSE;
        DbgPrint("AWARD_BIOS \n\n");
    } else if (ComparePhysicalMemory(AMI_SIGNATURE_ADDRESS, AMI_SIGNATURE,
                                     sizeof(AMI_SIGNATURE) - 1)) {
        markerWindowAddress = AMI_MARKER_WINDOW;
        bFamilyScanAllowed = TRUE;
        DbgPrint("AMI_BIOS \n\n");
    } else {
        return FALSE;
    }

    PUCHAR markerWindow = (PUCHAR)MapPhysical(markerWindowAddress, MARKER_WINDOW_LENGTH);
    if (markerWindow == NULL) {
        return FALSE;
    }
    BOOLEAN bValid = WindowHoldsBoardMarker(markerWindow);
    MmUnmapIoSpace(markerWindow, MARKER_WINDOW_LENGTH);

    if (!bValid && bFamilyScanAllowed) {
        bValid = BiosAreaHoldsFamilyPrefix();
    }

    DbgPrint("<---- CheckValidBoard!    bValid = %s<----\n\n", bValid ? "TRUE" : "FALSE");
    return bValid;
}

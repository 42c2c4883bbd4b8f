// Counted wide strings: initialise, copy, free.
#include "Internal.h"

#include <algorithm>
#include <cstdio>

namespace {
// The largest even byte count a USHORT length can hold with room for a NUL.
constexpr std::size_t kMaximumStringBytes = 0xFFFC;
}  // namespace

void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    host::detail::EnterRoutine("RtlInitUnicodeString");
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    std::size_t characters = 0;
    while (SourceString[characters] != 0) ++characters;
    const std::size_t bytes = std::min(characters * sizeof(WCHAR), kMaximumStringBytes);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

void NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    host::detail::EnterRoutine("RtlCopyUnicodeString");
    if (SourceString == nullptr || SourceString->Buffer == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    const USHORT bytes = std::min(SourceString->Length, DestinationString->MaximumLength);
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
    }
}

void NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    host::detail::EnterRoutine("RtlFreeUnicodeString");
    if (UnicodeString->Buffer != nullptr &&
        !host::detail::FreePlatformBlock(UnicodeString->Buffer)) {
        char text[96];
        std::snprintf(text, sizeof text, "RtlFreeUnicodeString of %p, which is no pool block",
                      static_cast<void*>(UnicodeString->Buffer));
        host::AddReport(host::ReportKind::Pool, text);
    }
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
    UnicodeString->Buffer = nullptr;
}

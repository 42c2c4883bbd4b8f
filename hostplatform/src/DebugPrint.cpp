// Debug output: DbgPrint text is captured, never printed, so tests compare it literally.
//
// The formatter is our own: it knows the printf conversions the driver uses and the two
// that only the kernel's DbgPrint has, %wZ (a counted wide string) and %p as 16 upper-case
// hex digits. Length modifiers follow the Windows sizes: 'l' is 32 bits, 'll' and 'I64'
// are 64 bits, 'I' and 'z' are pointer-sized.
#include "Internal.h"

#include <cstdarg>
#include <mutex>

namespace host {
namespace debugprint {

struct DebugState {
    std::mutex mutex;
    std::string text;
};

DebugState& TheDebugText() {
    static DebugState state;
    return state;
}

struct FieldFormat {
    bool leftAlign = false;
    bool zeroPad = false;
    bool plusSign = false;
    bool spaceSign = false;
    bool alternate = false;
    int width = 0;
    int precision = -1;
    int size = 4;  // bytes of the integer argument
    bool wide = false;
};

// Pads `body` (with its sign or prefix already split off) to the field width.
void Emit(std::string& out, const FieldFormat& field, std::string_view prefix,
          std::string_view body, bool numeric) {
    const int length = static_cast<int>(prefix.size() + body.size());
    const int pad = field.width > length ? field.width - length : 0;
    if (field.leftAlign) {
        out.append(prefix).append(body).append(pad, ' ');
    } else if (field.zeroPad && numeric && field.precision < 0) {
        out.append(prefix).append(pad, '0').append(body);
    } else {
        out.append(pad, ' ').append(prefix).append(body);
    }
}

std::string Digits(std::uint64_t value, unsigned base, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value % base]);
        value /= base;
    } while (value != 0);
    return text;
}

void EmitInteger(std::string& out, const FieldFormat& field, char conversion,
                 std::uint64_t magnitude, bool negative) {
    const unsigned base =
        (conversion == 'x' || conversion == 'X') ? 16 : (conversion == 'o' ? 8 : 10);
    std::string body = Digits(magnitude, base, conversion == 'X');
    if (field.precision == 0 && magnitude == 0) body.clear();
    if (field.precision > static_cast<int>(body.size())) {
        body.insert(0, static_cast<std::size_t>(field.precision) - body.size(), '0');
    }
    std::string_view prefix;
    if (conversion == 'd' || conversion == 'i') {
        prefix = negative ? "-" : (field.plusSign ? "+" : (field.spaceSign ? " " : ""));
    } else if (field.alternate && magnitude != 0 && base == 16) {
        prefix = conversion == 'X' ? "0X" : "0x";
    }
    Emit(out, field, prefix, std::move(body), true);
}

std::string Truncated(std::string text, const FieldFormat& field) {
    if (field.precision >= 0 && text.size() > static_cast<std::size_t>(field.precision)) {
        text.resize(static_cast<std::size_t>(field.precision));
    }
    return text;
}

// The arguments of DbgPrint, which follows the Windows x64 convention also on the host.
#if defined(__x86_64__)
using Arguments = __builtin_ms_va_list;
#define RAILWATCH_ARGUMENTS_START __builtin_ms_va_start
#define RAILWATCH_ARGUMENTS_END __builtin_ms_va_end
#else
using Arguments = va_list;
#define RAILWATCH_ARGUMENTS_START va_start
#define RAILWATCH_ARGUMENTS_END va_end
#endif

std::string Format(const char* format, Arguments& arguments) {
    std::string out;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        const char* start = p++;
        FieldFormat field;
        for (;; ++p) {
            if (*p == '-')
                field.leftAlign = true;
            else if (*p == '0')
                field.zeroPad = true;
            else if (*p == '+')
                field.plusSign = true;
            else if (*p == ' ')
                field.spaceSign = true;
            else if (*p == '#')
                field.alternate = true;
            else
                break;
        }
        if (*p == '*') {
            field.width = __builtin_va_arg(arguments, int);
            if (field.width < 0) {
                field.leftAlign = true;
                field.width = -field.width;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') field.width = field.width * 10 + (*p++ - '0');
        }
        if (*p == '.') {
            ++p;
            field.precision = 0;
            if (*p == '*') {
                field.precision = __builtin_va_arg(arguments, int);
                ++p;
            } else {
                while (*p >= '0' && *p <= '9')
                    field.precision = field.precision * 10 + (*p++ - '0');
            }
        }
        if (p[0] == 'l' && p[1] == 'l') {
            field.size = 8;
            p += 2;
        } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            field.size = 8;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            field.size = 4;
            p += 3;
        } else if (*p == 'I' || *p == 'z') {
            field.size = sizeof(void*);
            ++p;
        } else if (*p == 'l') {
            field.size = 4;  // LONG and ULONG are 32 bits on Windows
            field.wide = true;
            ++p;
        } else if (*p == 'h') {
            field.size = 2;
            ++p;
            if (*p == 'h') {
                field.size = 1;
                ++p;
            }
        } else if (*p == 'w') {
            field.wide = true;
            ++p;
        }
        const char conversion = *p;
        switch (conversion) {
            case 'd':
            case 'i': {
                std::int64_t value = field.size == 8 ? __builtin_va_arg(arguments, std::int64_t)
                                                     : __builtin_va_arg(arguments, int);
                if (field.size == 2) value = static_cast<std::int16_t>(value);
                if (field.size == 1) {
                    // %hhd: the argument is a signed char, sign-extended on purpose.
                    value = static_cast<std::int8_t>(value);  // NOLINT(bugprone-signed-char-misuse)
                }
                const bool negative = value < 0;
                const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(value)
                                                         : static_cast<std::uint64_t>(value);
                EmitInteger(out, field, conversion, magnitude, negative);
                break;
            }
            case 'u':
            case 'x':
            case 'X':
            case 'o': {
                std::uint64_t value = field.size == 8 ? __builtin_va_arg(arguments, std::uint64_t)
                                                      : __builtin_va_arg(arguments, unsigned);
                if (field.size == 2) value = static_cast<std::uint16_t>(value);
                if (field.size == 1) value = static_cast<std::uint8_t>(value);
                EmitInteger(out, field, conversion, value, false);
                break;
            }
            case 'c': {
                const int value = __builtin_va_arg(arguments, int);
                std::string body(1, field.wide ? detail::Narrow(std::u16string(
                                                     1, static_cast<char16_t>(value)))[0]
                                               : static_cast<char>(value));
                Emit(out, field, "", std::move(body), false);
                break;
            }
            case 's': {
                std::string text;
                if (field.wide) {
                    const auto* wide = __builtin_va_arg(arguments, const WCHAR*);
                    text = wide == nullptr ? "(null)" : detail::Narrow(detail::ToU16(wide));
                } else {
                    const char* narrow = __builtin_va_arg(arguments, const char*);
                    text = narrow == nullptr ? "(null)" : narrow;
                }
                Emit(out, field, "", Truncated(std::move(text), field), false);
                break;
            }
            case 'Z': {
                // %wZ: a UNICODE_STRING*, Length bytes of it.
                const auto* string = __builtin_va_arg(arguments, const UNICODE_STRING*);
                std::string text = (string == nullptr || string->Buffer == nullptr)
                                       ? "(null)"
                                       : detail::Narrow(detail::ToU16(string));
                Emit(out, field, "", Truncated(std::move(text), field), false);
                break;
            }
            case 'p': {
                const auto value =
                    reinterpret_cast<std::uintptr_t>(__builtin_va_arg(arguments, void*));
                std::string body = Digits(value, 16, true);
                body.insert(0, 2 * sizeof(void*) - body.size(), '0');
                Emit(out, field, "", std::move(body), false);
                break;
            }
            case '%':
                out += '%';
                break;
            default:
                // An unknown conversion is copied as it stands; a format ending in '%'
                // stops here.
                if (conversion == '\0') {
                    out.append(start, p);
                    return out;
                }
                out.append(start, p + 1);
                break;
        }
    }
    return out;
}

}  // namespace debugprint

std::string DebugText() {
    auto& state = debugprint::TheDebugText();
    std::lock_guard lock(state.mutex);
    return state.text;
}

void ClearDebugText() {
    auto& state = debugprint::TheDebugText();
    std::lock_guard lock(state.mutex);
    state.text.clear();
}

namespace detail {
void ResetDebugPrint() { ClearDebugText(); }
}  // namespace detail
}  // namespace host

ULONG NTAPI DbgPrint(PCSTR Format, ...) {
    host::detail::EnterRoutine("DbgPrint");
    if (Format == nullptr) return STATUS_SUCCESS;
    host::debugprint::Arguments arguments;
    RAILWATCH_ARGUMENTS_START(arguments, Format);
    const std::string text = host::debugprint::Format(Format, arguments);
    RAILWATCH_ARGUMENTS_END(arguments);
    auto& state = host::debugprint::TheDebugText();
    std::lock_guard lock(state.mutex);
    state.text += text;
    return STATUS_SUCCESS;
}

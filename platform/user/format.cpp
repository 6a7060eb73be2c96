// wsprintfW: Windows' own small formatter, not the C library's. Its %s and
// %c take wide text, it knows no floating point, and it writes at most 1024
// units.
#include <windows.h>

#include <stdarg.h>
#include <stdint.h>

#include <string>
#include <string_view>

#include "kernel/text.h"

namespace {

constexpr size_t kBufferUnits = 1024; // the terminator included

// Keeps the first 1023 units of the expansion, as Windows does when the
// text is longer, and drops the rest.
class Output {
  public:
    explicit Output(LPWSTR buffer) : buffer_(buffer) {}

    void put(wchar_t c) {
        if (count_ < kBufferUnits - 1) {
            buffer_[count_++] = c;
        }
    }
    void repeat(wchar_t c, size_t times) {
        for (size_t i = 0; i < times && count_ < kBufferUnits - 1; ++i) {
            buffer_[count_++] = c;
        }
    }
    void text(std::wstring_view s) {
        for (wchar_t c : s) {
            put(c);
        }
    }
    int finish() {
        buffer_[count_] = L'\0';
        return static_cast<int>(count_);
    }

  private:
    LPWSTR buffer_;
    size_t count_ = 0;
};

enum class Size { plain, narrow, wide, int64, intptr };

// [-][#][0][width][.precision][l|h|w|I64|I32|I]type, flags in that order only.
struct Conversion {
    bool left = false;
    bool hex_prefix = false;
    bool zero_pad = false;
    size_t width = 0;
    size_t precision = 0; // 0: none given (so %.0s prints the whole string)
    Size size = Size::plain;
    wchar_t type = L'\0';
};

// Widths beyond the buffer change nothing, so they saturate instead of
// overflowing.
size_t parse_number(LPCWSTR& p) {
    size_t value = 0;
    while (*p >= L'0' && *p <= L'9') {
        value = value < kBufferUnits ? value * 10 + static_cast<size_t>(*p - L'0') : value;
        ++p;
    }
    return value;
}

// `p` follows the '%'; on return it is at the type character, which may be
// the terminator of a format ending in '%'.
Conversion parse_conversion(LPCWSTR& p) {
    Conversion conv;
    if (*p == L'-') {
        conv.left = true;
        ++p;
    }
    if (*p == L'#') {
        conv.hex_prefix = true;
        ++p;
    }
    if (*p == L'0') {
        conv.zero_pad = true;
        ++p;
    }
    conv.width = parse_number(p);
    if (*p == L'.') {
        ++p;
        conv.precision = parse_number(p);
    }
    if (*p == L'l') {
        conv.size = Size::wide;
        ++p;
    } else if (*p == L'h') {
        conv.size = Size::narrow;
        ++p;
    } else if (*p == L'w') {
        conv.size = Size::wide;
        ++p;
    } else if (*p == L'I') {
        if (p[1] == L'6' && p[2] == L'4') {
            conv.size = Size::int64;
            p += 3;
        } else if (p[1] == L'3' && p[2] == L'2') {
            p += 3;
        } else {
            conv.size = Size::intptr;
            ++p;
        }
    }
    conv.type = *p;
    if (conv.left) {
        conv.zero_pad = false;
    }
    return conv;
}

// Narrow text is UTF-8 in the Linux build. Bytes that are not valid UTF-8
// are taken one by one as Latin-1, so nothing is dropped.
std::wstring widen(const char* text) {
    std::wstring wide;
    if (!text_wide_from_utf8(text, wide)) {
        for (const char* p = text; *p; ++p) {
            wide += static_cast<wchar_t>(static_cast<unsigned char>(*p));
        }
    }
    return wide;
}

void put_padded_text(Output& out, const Conversion& conv, std::wstring_view text) {
    if (conv.precision > 0 && text.size() > conv.precision) {
        text = text.substr(0, conv.precision);
    }
    const size_t pad = conv.width > text.size() ? conv.width - text.size() : 0;
    if (!conv.left) {
        out.repeat(L' ', pad);
    }
    out.text(text);
    if (conv.left) {
        out.repeat(L' ', pad);
    }
}

// Windows counts the sign as a digit for the precision: %.3d of -7 is -07.
// A '0' flag pads to the width with zeros after the sign; the 0x of '#'
// comes on top of the width.
void put_number(Output& out, const Conversion& conv, bool negative, uint64_t magnitude) {
    const bool hex = conv.type == L'x' || conv.type == L'X' || conv.type == L'p';
    const bool upper = conv.type == L'X' || conv.type == L'p';
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    const unsigned base = hex ? 16 : 10;
    wchar_t reversed[24];
    size_t count = 0;
    do {
        reversed[count++] = static_cast<wchar_t>(digits[magnitude % base]);
        magnitude /= base;
    } while (magnitude != 0);

    const size_t length = count + (negative ? 1 : 0);
    size_t precision = conv.precision > length ? conv.precision : length;
    if (conv.zero_pad && conv.width > precision) {
        precision = conv.width;
    }
    const size_t pad = conv.width > precision ? conv.width - precision : 0;
    if (!conv.left) {
        out.repeat(L' ', pad);
    }
    if (hex && conv.hex_prefix) {
        out.put(L'0');
        out.put(upper ? L'X' : L'x');
    }
    if (negative) {
        out.put(L'-');
    }
    out.repeat(L'0', precision - length);
    while (count > 0) {
        out.put(reversed[--count]);
    }
    if (conv.left) {
        out.repeat(L' ', pad);
    }
}

int format(LPWSTR buffer, LPCWSTR format, va_list args) {
    Output out(buffer);
    const WCHAR null_text[] = L"(null)";
    for (LPCWSTR p = format; *p;) {
        if (*p != L'%') {
            out.put(*p++);
            continue;
        }
        ++p;
        if (*p == L'%') {
            out.put(*p++);
            continue;
        }
        Conversion conv = parse_conversion(p);
        switch (conv.type) {
        case L'c':
        case L'C': {
            // %c is wide unless 'h'; %C is narrow unless 'l' or 'w'.
            const bool narrow =
                conv.type == L'c' ? conv.size == Size::narrow : conv.size != Size::wide;
            const int value = va_arg(args, int);
            const wchar_t c = narrow ? static_cast<wchar_t>(static_cast<unsigned char>(value))
                                     : static_cast<wchar_t>(value);
            put_padded_text(out, conv, std::wstring_view(&c, 1));
            break;
        }
        case L's':
        case L'S': {
            // %s is wide unless 'h'; %S is narrow unless 'l' or 'w'.
            const bool narrow =
                conv.type == L's' ? conv.size == Size::narrow : conv.size != Size::wide;
            if (narrow) {
                const char* text = va_arg(args, const char*);
                put_padded_text(out, conv, text ? widen(text) : std::wstring(null_text));
            } else {
                const WCHAR* text = va_arg(args, const WCHAR*);
                put_padded_text(out, conv, text ? text : null_text);
            }
            break;
        }
        case L'p':
            conv.width = 2 * sizeof(void*);
            conv.zero_pad = true;
            conv.size = Size::intptr;
            [[fallthrough]];
        case L'd':
        case L'i':
        case L'u':
        case L'x':
        case L'X': {
            // Plain and 'l' sizes are 32 bits, as LONG is on Windows.
            int64_t value;
            uint64_t mask;
            if (conv.size == Size::intptr) {
                value = va_arg(args, intptr_t);
                mask = UINTPTR_MAX;
            } else if (conv.size == Size::int64) {
                value = va_arg(args, long long);
                mask = UINT64_MAX;
            } else {
                value = va_arg(args, int);
                mask = UINT32_MAX;
            }
            const bool is_signed = conv.type == L'd' || conv.type == L'i';
            const bool negative = is_signed && value < 0;
            const uint64_t magnitude = (negative ? uint64_t{0} - static_cast<uint64_t>(value)
                                                 : static_cast<uint64_t>(value)) &
                                       mask;
            put_number(out, conv, negative, magnitude);
            break;
        }
        default:
            // Windows takes no argument for an unknown type, pads to the width
            // and prints the character itself; a format ending in '%' ends.
            if (!conv.left) {
                out.repeat(L' ', conv.width);
            }
            if (conv.type == L'\0') {
                return out.finish();
            }
            out.put(conv.type);
            break;
        }
        ++p;
    }
    return out.finish();
}

} // namespace

// Null arguments would fault on Windows; here they give 0 with
// ERROR_INVALID_PARAMETER, and a buffer gets an empty string.
int wsprintfW(LPWSTR buffer, LPCWSTR format_text, ...) {
    if (!buffer || !format_text) {
        if (buffer) {
            buffer[0] = L'\0';
        }
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    va_list args;
    va_start(args, format_text);
    const int written = format(buffer, format_text, args);
    va_end(args);
    return written;
}

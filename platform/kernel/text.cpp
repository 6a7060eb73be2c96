#include "kernel/text.h"

#include <stdint.h>

static_assert(sizeof(wchar_t) == 4, "the Linux build keeps WCHAR text as UTF-32");

namespace {

bool is_scalar_value(uint32_t c) {
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

} // namespace

bool text_utf8_from_wide(std::wstring_view text, std::string& out) {
    out.clear();
    std::string result;
    result.reserve(text.size());
    for (wchar_t wc : text) {
        // wchar_t is signed here: a negative value becomes huge and is refused.
        const uint32_t c = static_cast<uint32_t>(wc);
        if (!is_scalar_value(c)) {
            return false;
        }
        if (c < 0x80) {
            result += static_cast<char>(c);
        } else if (c < 0x800) {
            result += static_cast<char>(0xC0 | (c >> 6));
            result += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            result += static_cast<char>(0xE0 | (c >> 12));
            result += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            result += static_cast<char>(0xF0 | (c >> 18));
            result += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            result += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    out = std::move(result);
    return true;
}

bool text_wide_from_utf8(std::string_view text, std::wstring& out) {
    out.clear();
    std::wstring result;
    result.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const uint8_t lead = static_cast<uint8_t>(text[i]);
        uint32_t c = 0;
        size_t continuation = 0;
        uint32_t smallest = 0; // below this the sequence is an overlong form
        if (lead < 0x80) {
            c = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            c = lead & 0x1F;
            continuation = 1;
            smallest = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            c = lead & 0x0F;
            continuation = 2;
            smallest = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            c = lead & 0x07;
            continuation = 3;
            smallest = 0x10000;
        } else {
            return false;
        }
        if (text.size() - i - 1 < continuation) {
            return false;
        }
        for (size_t k = 1; k <= continuation; ++k) {
            const uint8_t byte = static_cast<uint8_t>(text[i + k]);
            if ((byte & 0xC0) != 0x80) {
                return false;
            }
            c = (c << 6) | (byte & 0x3F);
        }
        if (c < smallest || !is_scalar_value(c)) {
            return false;
        }
        result += static_cast<wchar_t>(c);
        i += continuation + 1;
    }
    out = std::move(result);
    return true;
}

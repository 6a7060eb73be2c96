// Text conversion where platform/ hands strings to the file system, GTK or
// PulseAudio: wchar_t holds UTF-32 in the Linux build, those take UTF-8.
#pragma once

#include <string>
#include <string_view>

// Fails, leaving `out` empty, if `text` holds a surrogate code point or a
// value beyond U+10FFFF (neither can be written as UTF-8).
bool text_utf8_from_wide(std::wstring_view text, std::string& out);

// Fails, leaving `out` empty, on malformed UTF-8: a stray continuation byte, a
// truncated sequence, an overlong form, an encoded surrogate, or a value
// beyond U+10FFFF.
bool text_wide_from_utf8(std::string_view text, std::wstring& out);

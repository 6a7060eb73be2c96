// The process entry of the Linux build: what the C runtime does on Windows
// for a Unicode GUI program, which calls wWinMain with the module handle, the
// command line after the program's name and the show state.
#include <windows.h>

#include <string>

#include "kernel/text.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR command_line, int show);

int main(int argc, char** argv) {
    std::string joined;
    for (int i = 1; i < argc; ++i) {
        joined += (i > 1 ? " " : "") + std::string(argv[i]);
    }
    std::wstring command_line;
    text_wide_from_utf8(joined, command_line); // left empty when not UTF-8; it is ignored anyway
    return wWinMain(GetModuleHandleW(nullptr), nullptr, command_line.data(), SW_SHOWDEFAULT);
}

// A helper of the process tests: prints the device menu's entries, one per
// line in the menu's order, as the main window builds the menu (the two
// default entries, then the outputs, then the inputs): the friendly name in
// UTF-8, empty for the default entries. The tests find an item by its name
// with it, whatever order the platform lists devices in.
//
// usage: list_devices   (exit 0 when the devices could be listed)
#include <objbase.h>
#include <stdio.h>

#include <string>

#include "endpoints.h"
#ifndef _WIN32
#include "text.h"
#endif

namespace {

std::string utf8(const WCHAR* text) {
    std::string out;
#ifdef _WIN32
    const int units = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (units > 1) {
        out.resize(static_cast<size_t>(units));
        WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), units, nullptr, nullptr);
        out.resize(static_cast<size_t>(units) - 1);
    }
#else
    text_utf8_from_wide(text, out);
#endif
    return out;
}

} // namespace

int main() {
    CoInitialize(nullptr);
    EndpointList list{};
    const int listed =
        endpoint_list_add_defaults(&list) == 0 && enumerate_all_endpoints(&list, nullptr) == 0;
    for (int32_t i = 0; i < list.count; ++i) {
        printf("%s\n", utf8(list.entries[i].friendly_name).c_str());
    }
    endpoint_list_free(&list);
    CoUninitialize();
    return listed ? 0 : 1;
}

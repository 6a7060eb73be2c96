// Icons of the program's resources: the .ico's image at the size asked for,
// as 32-bit pixels that the toolkit shows.
#include <windows.h>

#include <stdint.h>

#include <memory>
#include <vector>

#include "toolkit/os_window.h"
#include "user/internal.h"
#include "user/resource_table.h"

using namespace user;

namespace {

// The icons that LoadImageW hands out: pixels at the size asked for.
struct IconObject {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;
};

// The image of `size` in an .ico file, as 32-bit pixels; the largest one
// scaled when none fits exactly.
bool decode_icon(const ResourceIcon& icon, int size, IconObject& out) {
    const unsigned char* d = icon.data;
    auto u16 = [&](size_t at) { return static_cast<uint32_t>(d[at] | d[at + 1] << 8); };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    if (icon.size < 6 || u16(0) != 0 || u16(2) != 1) {
        return false;
    }
    const uint32_t count = u16(4);
    int best = -1;
    int best_size = 0;
    for (uint32_t i = 0; i < count && 6 + 16 * (i + 1) <= icon.size; ++i) {
        const int s = d[6 + 16 * i] ? d[6 + 16 * i] : 256;
        if (best < 0 || (s == size) || (best_size != size && s > best_size)) {
            best = static_cast<int>(i);
            best_size = s;
        }
        if (s == size) {
            break;
        }
    }
    if (best < 0) {
        return false;
    }
    const size_t entry = 6 + 16 * static_cast<size_t>(best);
    const size_t length = u32(entry + 8);
    const size_t offset = u32(entry + 12);
    if (offset + 40 > icon.size || length > icon.size - offset) {
        return false;
    }
    const int width = static_cast<int>(u32(offset + 4));
    const int height = static_cast<int>(u32(offset + 8)) / 2;
    if (u16(offset + 14) != 32 || width <= 0 || height <= 0 ||
        40 + static_cast<size_t>(width) * height * 4 > length) {
        return false; // only the 32-bit images that our icons hold
    }
    out.width = size;
    out.height = size;
    out.pixels.assign(static_cast<size_t>(size) * size, 0);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const int sx = x * width / size;
            const int sy = y * height / size;
            // Rows are stored bottom-up.
            out.pixels[static_cast<size_t>(y) * size + x] =
                u32(offset + 40 + (static_cast<size_t>(height - 1 - sy) * width + sx) * 4);
        }
    }
    return true;
}

} // namespace

namespace user {

OsPixels icon_pixels(HANDLE handle) {
    auto* icon = static_cast<IconObject*>(handle);
    if (!icon) {
        return OsPixels{nullptr, 0, 0};
    }
    return OsPixels{icon->pixels.data(), icon->width, icon->height};
}

HANDLE load_icon(uint16_t id, int width) {
    const ResourceIcon* resource = resource_find_icon(id);
    if (!resource) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    auto icon = std::make_unique<IconObject>();
    if (!decode_icon(*resource, width, *icon)) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    return icon.release();
}

} // namespace user

HANDLE LoadImageW(HINSTANCE /*instance*/, LPCWSTR name, UINT type, int width, int height,
                  UINT /*flags*/) {
    if (type != IMAGE_ICON || !IS_INTRESOURCE(name)) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND); // only icons, by number
        return nullptr;
    }
    if (width <= 0) {
        width = 32;
    }
    if (height > 0 && height != width) {
        SetLastError(ERROR_INVALID_PARAMETER); // our icons are square
        return nullptr;
    }
    return load_icon(static_cast<uint16_t>(reinterpret_cast<uintptr_t>(name)), width);
}

BOOL DestroyIcon(HICON icon) {
    if (!icon) {
        SetLastError(ERROR_INVALID_ICON_HANDLE);
        return FALSE;
    }
    delete reinterpret_cast<IconObject*>(icon);
    return TRUE;
}

// The program's resources in the Linux build: what windres puts into the
// Windows program, as tables that platform/tools/rc_tables.py writes from the
// same .rc file. The generated file registers its table at start-up.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct ResourceDialogItem {
    uint32_t style; // WS_CHILD | WS_VISIBLE included, as the resource compiler adds them
    uint32_t ex_style;
    int16_t x, y, cx, cy; // dialog units
    int32_t id;
    const wchar_t* class_name; // "Button", "Static", "SysLink"
    const wchar_t* text;       // null when the text is an ordinal
    uint16_t text_ordinal;     // a resource id (an icon's), when text is null
};

struct ResourceDialog {
    uint16_t id;
    uint32_t style;
    uint32_t ex_style;
    int16_t x, y, cx, cy; // dialog units; cx, cy are the client area's size
    const wchar_t* caption;
    uint16_t font_points;
    uint16_t font_weight;
    uint8_t font_italic;
    uint8_t font_charset;
    const wchar_t* font_face;
    const ResourceDialogItem* items;
    size_t item_count;
};

struct ResourceIcon {
    uint16_t id;
    const unsigned char* data; // the .ico file's bytes
    size_t size;
};

struct ResourceTable {
    const ResourceDialog* dialogs;
    size_t dialog_count;
    const ResourceIcon* icons;
    size_t icon_count;
};

// Called by the generated file's static initialiser; the last table wins.
void platform_register_resources(const ResourceTable* table);
const ResourceDialog* resource_find_dialog(uint16_t id);
const ResourceIcon* resource_find_icon(uint16_t id);

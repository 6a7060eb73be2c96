// The program's resource tables (resource_table.h), registered by the file
// that platform/tools/rc_tables.py generates from the program's .rc.
#include "user/resource_table.h"

namespace {

const ResourceTable* registered_table = nullptr;

} // namespace

void platform_register_resources(const ResourceTable* table) {
    registered_table = table;
}

const ResourceDialog* resource_find_dialog(uint16_t id) {
    for (size_t i = 0; registered_table && i < registered_table->dialog_count; ++i) {
        if (registered_table->dialogs[i].id == id) {
            return &registered_table->dialogs[i];
        }
    }
    return nullptr;
}

const ResourceIcon* resource_find_icon(uint16_t id) {
    for (size_t i = 0; registered_table && i < registered_table->icon_count; ++i) {
        if (registered_table->icons[i].id == id) {
            return &registered_table->icons[i];
        }
    }
    return nullptr;
}

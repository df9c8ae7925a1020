/* norvat_list_ports: a snapshot of every port there is, read through getters, so that new fields
 * never change what a host was built against. */
#include "include/norvat.h"
#include "interface/ports.h"
#include "interface/reason.h"
#include "interface/text.h"
#include "port/system_ports.h"
#include "usb/device_id.h"
#include "usb/usb.h"

namespace {

enum { kKindField = 12, kShortField = 128 };

struct ListEntry {
    char name[kPrinterText];
    char kind[kKindField];
    char description[kPrinterText];
    char serial[kPrinterText];
    char vendorId[kIdText];
    char productId[kIdText];
    char manufacturer[kShortField];
    char model[kShortField];
    char commandSet[kShortField];
    char deviceId[kDeviceIdText];
};

} // namespace

struct norvat_port_list {
    int count;
    int capacity;
    ListEntry *entries;
    bool full; /* memory ran out */
};

namespace {

/* A new, empty entry at the end; NULL when memory ran out. */
ListEntry *Append(norvat_port_list *list)
{
    if (list->count == list->capacity) {
        const int capacity = list->capacity == 0 ? 16 : list->capacity * 2;
        ListEntry *entries = (ListEntry *)AllocateZeroed((size_t)capacity * sizeof *entries);
        if (entries == NULL) {
            list->full = true;
            return NULL;
        }
        for (int i = 0; i < list->count; i++)
            entries[i] = list->entries[i];
        FreeMemory(list->entries);
        list->entries = entries;
        list->capacity = capacity;
    }
    return &list->entries[list->count++];
}

void AddSystemPort(const char *kind, const char *name, const char *description, void *context)
{
    ListEntry *entry = Append(static_cast<norvat_port_list *>(context));
    if (entry == NULL)
        return;
    CopyText(entry->kind, sizeof entry->kind, kind);
    CopyText(entry->name, sizeof entry->name, name);
    CopyText(entry->description, sizeof entry->description, description);
}

bool AddPrinter(const PrinterRecord *record, void *context)
{
    ListEntry *entry = Append(static_cast<norvat_port_list *>(context));
    if (entry == NULL)
        return true;
    CopyText(entry->kind, sizeof entry->kind, "usb");
    CopyText(entry->name, sizeof entry->name, record->link);
    CopyText(entry->description, sizeof entry->description, record->description);
    CopyText(entry->serial, sizeof entry->serial, record->serial);
    CopyText(entry->vendorId, sizeof entry->vendorId, record->vendorId);
    CopyText(entry->productId, sizeof entry->productId, record->productId);
    CopyText(entry->deviceId, sizeof entry->deviceId, record->deviceId);
    DeviceIdField(record->deviceId, "MANUFACTURER", "MFG", entry->manufacturer,
                  sizeof entry->manufacturer);
    DeviceIdField(record->deviceId, "MODEL", "MDL", entry->model, sizeof entry->model);
    DeviceIdField(record->deviceId, "COMMAND SET", "CMD", entry->commandSet,
                  sizeof entry->commandSet);
    return false;
}

} // namespace

int NORVAT_CALL norvat_list_ports(norvat_port_list **list)
{
    if (list == NULL)
        return PortableRefusal(kReasonBadArgument);
    CallScope scope;
    norvat_port_list *made = (norvat_port_list *)AllocateZeroed(sizeof *made);
    if (made == NULL)
        return NORVAT_ERR_SYSTEM;
    EachSystemPort(AddSystemPort, made);
    /* Without the system's printer records (Linux without libudev) the rest is still listed. */
    EachPrinter(AddPrinter, made, true);
    if (made->full) {
        norvat_free_port_list(made);
        return NORVAT_ERR_SYSTEM;
    }
    *list = made;
    return made->count;
}

const char *NORVAT_CALL norvat_port_list_get(const norvat_port_list *list, int index, int field)
{
    if (list == NULL || index < 0 || index >= list->count)
        return NULL;
    const ListEntry *e = &list->entries[index];
    switch (field) {
    case NORVAT_FIELD_NAME: return e->name;
    case NORVAT_FIELD_KIND: return e->kind;
    case NORVAT_FIELD_DESCRIPTION: return e->description;
    case NORVAT_FIELD_SERIAL: return e->serial;
    case NORVAT_FIELD_VENDOR_ID: return e->vendorId;
    case NORVAT_FIELD_PRODUCT_ID: return e->productId;
    case NORVAT_FIELD_MANUFACTURER: return e->manufacturer;
    case NORVAT_FIELD_MODEL: return e->model;
    case NORVAT_FIELD_COMMAND_SET: return e->commandSet;
    case NORVAT_FIELD_DEVICE_ID: return e->deviceId;
    default: return NULL;
    }
}

void NORVAT_CALL norvat_free_port_list(norvat_port_list *list)
{
    if (list == NULL)
        return;
    FreeMemory(list->entries);
    FreeMemory(list);
}

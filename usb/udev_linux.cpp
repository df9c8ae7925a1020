/* The record of connected USB printers on Linux: udev's usbmisc devices named lp* (the usblp
 * driver's /dev/usb/lpN), in udev's enumeration order. Each entry gets the device link Windows
 * would record for the same printer, so the listing, its filters and the serial parsing work on
 * both systems alike. Nothing is cached: printers come and go. libudev is loaded the first time
 * it is needed (libudev_linux.cpp). */
#include "usb/usb.h"
#include "usb/udev_linux.h"

#include <errno.h>

#include "interface/text.h"
#include "usb/device_id.h"
#include "usb/libudev_linux.h"
#include "usb/link.h"

namespace {

/* What one entry of the ten exports' walk yields. */
struct Entry {
    char link[kLinkField];
    char description[kLinkField];
    char node[kLinkField];
};

/* The printer's IEEE 1284 device id: usblp keeps it on the USB interface it is bound to, not
 * on its usbmisc node. NULL when there is none. The interface belongs to device. */
const char *DeviceId(const Libudev *u, struct udev_device *device)
{
    struct udev_device *interface =
        u->udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_interface");
    return interface != NULL ? u->udev_device_get_sysattr_value(interface, "ieee1284_id") : NULL;
}

/* Reads the device at syspath into entry. An entry without a device node, without a parent USB
 * device or without a serial is not live. The description is read only when asked for. */
bool ReadEntry(const Libudev *u, struct udev *udev, const char *syspath, Entry *entry,
               bool withDescription)
{
    struct udev_device *device = u->udev_device_new_from_syspath(udev, syspath);
    if (device == NULL)
        return false;
    bool read = false;
    const char *node = u->udev_device_get_devnode(device);
    /* The parent belongs to device and goes with it. */
    struct udev_device *usb =
        u->udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
    if (node != NULL && usb != NULL &&
        BuildDeviceLink(entry->link, sizeof entry->link,
                        u->udev_device_get_sysattr_value(usb, "idVendor"),
                        u->udev_device_get_sysattr_value(usb, "idProduct"),
                        u->udev_device_get_sysattr_value(usb, "serial"))) {
        CopyText(entry->node, sizeof entry->node, node);
        read = !withDescription ||
               DescribePrinter(entry->description, sizeof entry->description,
                               DeviceId(u, device),
                               u->udev_device_get_sysattr_value(usb, "product"));
    }
    u->udev_device_unref(device);
    return read;
}

/* Walks the printers in order. visit(u, udev, syspath, index) returns true to stop there; Walk
 * then returns true. *count, when given, gets the number of entries walked. Without libudev
 * there is nothing to walk, and errno says ENOSYS. */
template <typename Visit> bool Walk(Visit visit, uint32_t *count)
{
    if (count != NULL)
        *count = 0;
    const Libudev *u = LoadLibudev();
    if (u == NULL)
        return false;
    struct udev *udev = u->udev_new();
    if (udev == NULL)
        return false;
    bool stopped = false;
    uint32_t index = 0;
    struct udev_enumerate *enumerate = u->udev_enumerate_new(udev);
    if (enumerate != NULL && u->udev_enumerate_add_match_subsystem(enumerate, "usbmisc") >= 0 &&
        u->udev_enumerate_add_match_sysname(enumerate, "lp*") >= 0 &&
        u->udev_enumerate_scan_devices(enumerate) >= 0) {
        for (struct udev_list_entry *item = u->udev_enumerate_get_list_entry(enumerate);
             item != NULL; item = u->udev_list_entry_get_next(item)) {
            if (visit(u, udev, u->udev_list_entry_get_name(item), index)) {
                stopped = true;
                break;
            }
            index++;
        }
    }
    if (enumerate != NULL)
        u->udev_enumerate_unref(enumerate);
    u->udev_unref(udev);
    if (count != NULL)
        *count = index;
    return stopped;
}

/* The entry at index, read into entry. */
bool ReadEntryAt(uint32_t index, Entry *entry, bool withDescription)
{
    bool read = false;
    Walk(
        [&](const Libudev *u, struct udev *udev, const char *syspath, uint32_t at) {
            if (at != index)
                return false;
            read = ReadEntry(u, udev, syspath, entry, withDescription);
            return true;
        },
        NULL);
    return read;
}

/* Reads any maker's printer at syspath into record: false for an entry with no node or no
 * parent USB device, or ids that are not hex. */
bool ReadPrinter(const Libudev *u, struct udev *udev, const char *syspath, PrinterRecord *record,
                 bool withDeviceId)
{
    struct udev_device *device = u->udev_device_new_from_syspath(udev, syspath);
    if (device == NULL)
        return false;
    const char *node = u->udev_device_get_devnode(device);
    struct udev_device *usb =
        u->udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
    const char *serial = usb != NULL ? u->udev_device_get_sysattr_value(usb, "serial") : NULL;
    const char *deviceId = DeviceId(u, device);
    bool read = node != NULL && usb != NULL &&
                BuildPrinterLink(record->link, sizeof record->link,
                                 u->udev_device_get_sysattr_value(usb, "idVendor"),
                                 u->udev_device_get_sysattr_value(usb, "idProduct"), serial,
                                 u->udev_device_get_sysname(usb));
    if (read) {
        CopyText(record->node, sizeof record->node, node);
        CopyText(record->serial, sizeof record->serial, serial != NULL ? serial : "");
        ParsePrinterLink(record->link, record->vendorId, record->productId,
                         sizeof record->vendorId, NULL, 0);
        if (!DescribePrinter(record->description, sizeof record->description, deviceId,
                             u->udev_device_get_sysattr_value(usb, "product")))
            record->description[0] = '\0';
        CopyText(record->deviceId, sizeof record->deviceId,
                 withDeviceId && deviceId != NULL ? deviceId : "");
    }
    u->udev_device_unref(device);
    return read;
}

} // namespace

bool PrinterRecordsAvailable(void)
{
    return LoadLibudev() != NULL;
}

uint32_t CountPrintInterfaces(void)
{
    uint32_t count = 0;
    Walk([](const Libudev *, struct udev *, const char *, uint32_t) { return false; }, &count);
    return count;
}

bool LookupPrintInterface(uint32_t index, char *link)
{
    Entry entry;
    if (!ReadEntryAt(index, &entry, false))
        return false;
    CopyText(link, kLinkField, entry.link);
    return true;
}

bool LookupPrintInterfaceDetails(uint32_t index, char *link, char *description)
{
    Entry entry;
    if (!ReadEntryAt(index, &entry, true))
        return false;
    CopyText(link, kLinkField, entry.link);
    CopyText(description, kLinkField, entry.description);
    return true;
}

bool PrinterNodeForLink(const char *link, char *node, size_t size)
{
    bool found = false;
    Walk(
        [&](const Libudev *u, struct udev *udev, const char *syspath, uint32_t) {
            Entry entry;
            if (!ReadEntry(u, udev, syspath, &entry, false) || !SameText(entry.link, link))
                return false;
            CopyText(node, size, entry.node);
            found = true;
            return true;
        },
        NULL);
    return found;
}

bool EachPrinter(PrinterVisit visit, void *context, bool withDeviceId)
{
    if (LoadLibudev() == NULL)
        return false; /* errno ENOSYS */
    PrinterRecord record;
    Walk(
        [&](const Libudev *u, struct udev *udev, const char *syspath, uint32_t) {
            return ReadPrinter(u, udev, syspath, &record, withDeviceId) &&
                   visit(&record, context);
        },
        NULL);
    return true;
}

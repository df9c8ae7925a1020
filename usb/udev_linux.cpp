/* The record of connected USB printers on Linux: udev's usbmisc devices named lp* (the usblp
 * driver's /dev/usb/lpN), in udev's enumeration order. Each entry gets the device link Windows
 * would record for the same printer, so the listing, its filters and the serial parsing work on
 * both systems alike. Nothing is cached: printers come and go. */
#include "usb/usb.h"
#include "usb/udev_linux.h"

#include <errno.h>
#include <libudev.h>

#include "interface/text.h"
#include "usb/device_id.h"
#include "usb/link.h"

namespace {

/* What one entry yields. */
struct Entry {
    char link[kLinkField];
    char description[kLinkField];
    char node[kLinkField];
};

/* Reads the device at syspath into entry. An entry without a device node, without a parent USB
 * device or without a serial is not live. The description is read only when asked for. */
bool ReadEntry(struct udev *udev, const char *syspath, Entry *entry, bool withDescription)
{
    struct udev_device *device = udev_device_new_from_syspath(udev, syspath);
    if (device == NULL)
        return false;
    bool read = false;
    const char *node = udev_device_get_devnode(device);
    /* The parents belong to device and go with it. usblp keeps the device id on the interface
     * it is bound to, not on its usbmisc node. */
    struct udev_device *usb =
        udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
    struct udev_device *interface =
        udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_interface");
    if (node != NULL && usb != NULL &&
        BuildDeviceLink(entry->link, sizeof entry->link,
                        udev_device_get_sysattr_value(usb, "idVendor"),
                        udev_device_get_sysattr_value(usb, "idProduct"),
                        udev_device_get_sysattr_value(usb, "serial"))) {
        CopyText(entry->node, sizeof entry->node, node);
        read = !withDescription ||
               DescribePrinter(entry->description, sizeof entry->description,
                               interface != NULL ? udev_device_get_sysattr_value(interface, "ieee1284_id")
                                                 : NULL,
                               udev_device_get_sysattr_value(usb, "product"));
    }
    udev_device_unref(device);
    return read;
}

/* Walks the entries in order. visit(udev, syspath, index) returns true to stop there; Walk then
 * returns true. With visit NULL it only counts, into *count. */
template <typename Visit> bool Walk(Visit visit, uint32_t *count)
{
    struct udev *udev = udev_new();
    if (udev == NULL)
        return false;
    bool stopped = false;
    uint32_t index = 0;
    struct udev_enumerate *enumerate = udev_enumerate_new(udev);
    if (enumerate != NULL && udev_enumerate_add_match_subsystem(enumerate, "usbmisc") >= 0 &&
        udev_enumerate_add_match_sysname(enumerate, "lp*") >= 0 &&
        udev_enumerate_scan_devices(enumerate) >= 0) {
        struct udev_list_entry *item;
        udev_list_entry_foreach(item, udev_enumerate_get_list_entry(enumerate))
        {
            if (visit(udev, udev_list_entry_get_name(item), index)) {
                stopped = true;
                break;
            }
            index++;
        }
    }
    if (enumerate != NULL)
        udev_enumerate_unref(enumerate);
    udev_unref(udev);
    if (count != NULL)
        *count = index;
    return stopped;
}

/* The entry at index, read into entry. */
bool ReadEntryAt(uint32_t index, Entry *entry, bool withDescription)
{
    bool read = false;
    Walk(
        [&](struct udev *udev, const char *syspath, uint32_t at) {
            if (at != index)
                return false;
            read = ReadEntry(udev, syspath, entry, withDescription);
            return true;
        },
        NULL);
    return read;
}

} // namespace

uint32_t CountPrintInterfaces(void)
{
    uint32_t count = 0;
    Walk([](struct udev *, const char *, uint32_t) { return false; }, &count);
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
        [&](struct udev *udev, const char *syspath, uint32_t) {
            Entry entry;
            if (!ReadEntry(udev, syspath, &entry, false) || !SameText(entry.link, link))
                return false;
            CopyText(node, size, entry.node);
            found = true;
            return true;
        },
        NULL);
    return found;
}

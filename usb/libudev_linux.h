/* libudev, loaded at run time: libNorvat.so needs libc alone, so it loads on a machine or in a
 * container without libudev, where serial, parallel and network ports still work and only USB
 * printers cannot be found. */
#ifndef NORVAT_LIBUDEV_LINUX_H
#define NORVAT_LIBUDEV_LINUX_H

#include <libudev.h>

/* The calls of libudev.so.1 the library makes. */
struct Libudev {
    decltype(&::udev_new) udev_new;
    decltype(&::udev_unref) udev_unref;
    decltype(&::udev_enumerate_new) udev_enumerate_new;
    decltype(&::udev_enumerate_unref) udev_enumerate_unref;
    decltype(&::udev_enumerate_add_match_subsystem) udev_enumerate_add_match_subsystem;
    decltype(&::udev_enumerate_add_match_sysname) udev_enumerate_add_match_sysname;
    decltype(&::udev_enumerate_scan_devices) udev_enumerate_scan_devices;
    decltype(&::udev_enumerate_get_list_entry) udev_enumerate_get_list_entry;
    decltype(&::udev_list_entry_get_next) udev_list_entry_get_next;
    decltype(&::udev_list_entry_get_name) udev_list_entry_get_name;
    decltype(&::udev_device_new_from_syspath) udev_device_new_from_syspath;
    decltype(&::udev_device_unref) udev_device_unref;
    decltype(&::udev_device_get_devnode) udev_device_get_devnode;
    decltype(&::udev_device_get_sysname) udev_device_get_sysname;
    decltype(&::udev_device_get_parent_with_subsystem_devtype)
        udev_device_get_parent_with_subsystem_devtype;
    decltype(&::udev_device_get_sysattr_value) udev_device_get_sysattr_value;
};

/* Loads libudev.so.1 and binds its calls, once for the life of the process (the first time a USB
 * printer is listed or opened); later calls return the same table. NULL with errno ENOSYS when it
 * is not installed or lacks a call. Safe from any thread, and in a child of fork(). */
const Libudev *LoadLibudev(void);

#endif

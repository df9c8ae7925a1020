/* Loading libudev at run time. */
#include "usb/libudev_linux.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>

namespace {

pthread_mutex_t loading = PTHREAD_MUTEX_INITIALIZER;
Libudev libudev;
/* 0 not tried yet, 1 loaded, -1 not there. Read without the mutex once it is settled. */
int state = 0;

/* A child of fork() may have been made while another thread held the mutex. */
void FreeInChild(void)
{
    pthread_mutex_init(&loading, NULL);
}

__attribute__((constructor)) void RegisterForkHandler(void)
{
    pthread_atfork(NULL, NULL, FreeInChild);
}

template <typename T> bool Bind(void *module, const char *name, T *fn)
{
    *fn = reinterpret_cast<T>(dlsym(module, name));
    return *fn != NULL;
}

int Load(void)
{
    /* Kept for the life of the process, as any library a process loads for good: a later
     * listing would only load it again. */
    void *module = dlopen("libudev.so.1", RTLD_NOW | RTLD_LOCAL);
    if (module == NULL)
        return -1;
    Libudev u;
    const bool bound =
        Bind(module, "udev_new", &u.udev_new) && Bind(module, "udev_unref", &u.udev_unref) &&
        Bind(module, "udev_enumerate_new", &u.udev_enumerate_new) &&
        Bind(module, "udev_enumerate_unref", &u.udev_enumerate_unref) &&
        Bind(module, "udev_enumerate_add_match_subsystem",
             &u.udev_enumerate_add_match_subsystem) &&
        Bind(module, "udev_enumerate_add_match_sysname", &u.udev_enumerate_add_match_sysname) &&
        Bind(module, "udev_enumerate_scan_devices", &u.udev_enumerate_scan_devices) &&
        Bind(module, "udev_enumerate_get_list_entry", &u.udev_enumerate_get_list_entry) &&
        Bind(module, "udev_list_entry_get_next", &u.udev_list_entry_get_next) &&
        Bind(module, "udev_list_entry_get_name", &u.udev_list_entry_get_name) &&
        Bind(module, "udev_device_new_from_syspath", &u.udev_device_new_from_syspath) &&
        Bind(module, "udev_device_unref", &u.udev_device_unref) &&
        Bind(module, "udev_device_get_devnode", &u.udev_device_get_devnode) &&
        Bind(module, "udev_device_get_sysname", &u.udev_device_get_sysname) &&
        Bind(module, "udev_device_get_parent_with_subsystem_devtype",
             &u.udev_device_get_parent_with_subsystem_devtype) &&
        Bind(module, "udev_device_get_sysattr_value", &u.udev_device_get_sysattr_value);
    if (!bound) {
        dlclose(module);
        return -1;
    }
    libudev = u;
    return 1;
}

} // namespace

const Libudev *LoadLibudev(void)
{
    int now = __atomic_load_n(&state, __ATOMIC_ACQUIRE);
    if (now == 0) {
        const int reason = errno;
        pthread_mutex_lock(&loading);
        now = __atomic_load_n(&state, __ATOMIC_ACQUIRE);
        if (now == 0) {
            now = Load();
            __atomic_store_n(&state, now, __ATOMIC_RELEASE);
        }
        pthread_mutex_unlock(&loading);
        errno = reason;
    }
    if (now < 0) {
        errno = ENOSYS;
        return NULL;
    }
    return &libudev;
}

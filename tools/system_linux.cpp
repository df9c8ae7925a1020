// The norvat tool's system calls on Linux. The ports come from udev, as the library's USB
// printers do, so the tool sees what udev (or an emulation of it) sees.
#include "tools/system.h"

#include <libudev.h>
#include <netdb.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

struct Family {
    const char *subsystem, *sysname, *kind;
};

// The serial ports (built-in, USB adapters, USB modems) and parallel ports a printer may be on.
// The parallel printer driver (lp) registers its nodes in the device class "printer".
const Family kFamilies[] = {
    {"tty", "ttyS*", "serial"},
    {"tty", "ttyUSB*", "serial"},
    {"tty", "ttyACM*", "serial"},
    {"printer", "lp*", "parallel"},
};

// The number at the end of a node's name: ttyS12 -> 12.
long Trailing(const std::string &name)
{
    const size_t digits = name.find_last_not_of("0123456789") + 1;
    return digits < name.size() ? std::atol(name.c_str() + digits) : -1;
}

// What the port stands for: COMn for ttyS, LPTn for lp0/lp1, else the USB product behind it.
std::string Detail(struct udev_device *device, const std::string &sysname)
{
    const long n = Trailing(sysname);
    if (sysname.compare(0, 4, "ttyS") == 0 && n >= 0)
        return "COM" + std::to_string(n + 1);
    if (sysname.compare(0, 2, "lp") == 0 && n >= 0 && n <= 1)
        return "LPT" + std::to_string(n + 1);
    struct udev_device *usb = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
    const char *product = usb != nullptr ? udev_device_get_sysattr_value(usb, "product") : nullptr;
    return product != nullptr ? product : "";
}

volatile sig_atomic_t interrupted = 0;

void OnInterrupt(int)
{
    interrupted = 1;
}

} // namespace

unsigned long long NowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (unsigned long long)now.tv_sec * 1000 + (unsigned long long)now.tv_nsec / 1000000;
}

int LastReason()
{
    return errno;
}

std::string ReasonText(int reason)
{
    // glibc's resolver codes are negative, apart from errno's: EAI_NONAME is -2.
    return reason < 0 ? gai_strerror(reason) : std::strerror(reason);
}

bool MeansNoPrinter(int reason)
{
    return reason == ENODEV;
}

std::vector<SystemPort> SystemPorts()
{
    std::vector<SystemPort> ports;
    struct udev *udev = udev_new();
    if (udev == nullptr)
        return ports;
    for (const Family &family : kFamilies) {
        std::vector<std::pair<long, SystemPort>> found;
        struct udev_enumerate *enumerate = udev_enumerate_new(udev);
        if (enumerate == nullptr)
            continue;
        udev_enumerate_add_match_subsystem(enumerate, family.subsystem);
        udev_enumerate_add_match_sysname(enumerate, family.sysname);
        udev_enumerate_scan_devices(enumerate);
        struct udev_list_entry *item;
        udev_list_entry_foreach(item, udev_enumerate_get_list_entry(enumerate))
        {
            struct udev_device *device =
                udev_device_new_from_syspath(udev, udev_list_entry_get_name(item));
            if (device == nullptr)
                continue;
            const char *node = udev_device_get_devnode(device);
            const char *type = udev_device_get_sysattr_value(device, "type");
            const std::string sysname = udev_device_get_sysname(device);
            // The 8250 driver registers ttyS ports with no UART behind them as type 0.
            const bool ghost = sysname.compare(0, 4, "ttyS") == 0 && type != nullptr &&
                               std::strcmp(type, "0") == 0;
            if (node != nullptr && !ghost)
                found.push_back({Trailing(sysname), {family.kind, node, Detail(device, sysname)}});
            udev_device_unref(device);
        }
        udev_enumerate_unref(enumerate);
        std::sort(found.begin(), found.end(),
                  [](const std::pair<long, SystemPort> &a, const std::pair<long, SystemPort> &b) {
                      return a.first < b.first;
                  });
        for (const auto &port : found)
            ports.push_back(port.second);
    }
    udev_unref(udev);
    return ports;
}

long ReadInput(char *buffer, unsigned long size)
{
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, buffer, size);
        if (n >= 0)
            return (long)n;
        if (errno != EINTR || interrupted)
            return -1;
    }
}

void CatchInterrupt()
{
    // No SA_RESTART: a read of standard input that the signal breaks returns, and its thread
    // sees the flag.
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
}

bool Interrupted()
{
    return interrupted != 0;
}

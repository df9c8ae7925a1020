/* The serial and parallel ports of a Linux machine, from the kernel's device classes in sysfs (no
 * libudev needed): tty devices with hardware behind them (a UART, a USB adapter; the kernel puts
 * virtual terminals and ptys under /sys/devices/virtual), and the printer class, where the
 * parallel printer driver puts its lp nodes. */
#include "port/system_ports.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "interface/text.h"

namespace {

enum { kMostPorts = 256, kNameField = 64, kTextField = 256, kPathField = 512 };

struct Node {
    int family; /* the order kinds are listed in */
    long number;
    char name[kNameField];
};

/* Serial families first, in this order, then the rest of the tty class with a device. */
const char *const kSerialFamilies[] = {"ttyS", "ttyUSB", "ttyACM"};
const int kOtherFamily = 3;

/* Reads a sysfs attribute into text, without its line end; false when there is none. */
bool ReadAttribute(const char *path, char *text, size_t size)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t n = read(fd, text, size - 1);
    close(fd);
    if (n <= 0)
        return false;
    size_t length = (size_t)n;
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
        length--;
    text[length] = '\0';
    return length > 0;
}

/* Whether the class entry stands for hardware: its link leads to a device outside
 * /sys/devices/virtual. */
bool IsHardware(const char *classDir, const char *name)
{
    char path[kPathField], target[kPathField];
    snprintf(path, sizeof path, "%s/%s", classDir, name);
    const ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0)
        return false;
    target[n] = '\0';
    for (const char *p = target; *p != '\0'; p++)
        if (StartsWith(p, "/devices/virtual/"))
            return false;
    return true;
}

long Trailing(const char *name)
{
    size_t end = BoundedLength(name, kNameField);
    size_t start = end;
    while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9')
        start--;
    return start < end ? atol(name + start) : -1;
}

/* The nodes of a class directory that pass keep, in (family, number) order. */
template <typename Keep> int Collect(const char *classDir, Node *nodes, Keep keep)
{
    int count = 0;
    DIR *dir = opendir(classDir);
    if (dir == NULL)
        return 0;
    for (struct dirent *entry; (entry = readdir(dir)) != NULL && count < kMostPorts;) {
        Node node;
        if (entry->d_name[0] == '.' ||
            BoundedLength(entry->d_name, kNameField) >= (size_t)kNameField ||
            !keep(entry->d_name, &node.family))
            continue;
        CopyText(node.name, sizeof node.name, entry->d_name);
        node.number = Trailing(node.name);
        nodes[count++] = node;
    }
    closedir(dir);
    for (int i = 1; i < count; i++) {
        for (int j = i; j > 0 && (nodes[j - 1].family > nodes[j].family ||
                                  (nodes[j - 1].family == nodes[j].family &&
                                   nodes[j - 1].number > nodes[j].number));
             j--) {
            const Node swap = nodes[j];
            nodes[j] = nodes[j - 1];
            nodes[j - 1] = swap;
        }
    }
    return count;
}

const char kTtyClass[] = "/sys/class/tty";
const char kPrinterClass[] = "/sys/class/printer";

bool KeepSerial(const char *name, int *family)
{
    if (!IsHardware(kTtyClass, name))
        return false;
    *family = kOtherFamily;
    for (int f = 0; f < kOtherFamily; f++)
        if (StartsWith(name, kSerialFamilies[f]))
            *family = f;
    /* The 8250 driver registers ttyS ports that have no UART behind them, as type 0. */
    char path[kPathField], type[16];
    snprintf(path, sizeof path, "%s/%s/type", kTtyClass, name);
    return *family != 0 || !ReadAttribute(path, type, sizeof type) || !SameText(type, "0");
}

bool KeepParallel(const char *name, int *family)
{
    *family = 0;
    return StartsWith(name, "lp");
}

} // namespace

void EachSystemPort(SystemPortVisit visit, void *context)
{
    Node *nodes = (Node *)malloc(kMostPorts * sizeof *nodes);
    if (nodes == NULL)
        return;
    char name[kTextField], description[kTextField], path[kPathField];

    const int serial = Collect(kTtyClass, nodes, KeepSerial);
    for (int i = 0; i < serial; i++) {
        snprintf(name, sizeof name, "/dev/%s", nodes[i].name);
        description[0] = '\0';
        if (nodes[i].family == 0) {
            snprintf(description, sizeof description, "COM%ld", nodes[i].number + 1);
        } else {
            /* A USB adapter: its product name, one or two levels up from the tty's device. */
            snprintf(path, sizeof path, "%s/%s/device/../product", kTtyClass, nodes[i].name);
            if (!ReadAttribute(path, description, sizeof description)) {
                snprintf(path, sizeof path, "%s/%s/device/../../product", kTtyClass,
                         nodes[i].name);
                if (!ReadAttribute(path, description, sizeof description))
                    description[0] = '\0';
            }
        }
        visit("serial", name, description, context);
    }

    const int parallel = Collect(kPrinterClass, nodes, KeepParallel);
    for (int i = 0; i < parallel; i++) {
        snprintf(name, sizeof name, "/dev/%s", nodes[i].name);
        description[0] = '\0';
        if (nodes[i].number >= 0 && nodes[i].number <= 1)
            snprintf(description, sizeof description, "LPT%ld", nodes[i].number + 1);
        visit("parallel", name, description, context);
    }
    free(nodes);
}

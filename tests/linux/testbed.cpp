#include "tests/linux/testbed.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/lp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

// The device records, in the description format umockdev reads, shaped as the kernel's drivers
// register the devices (sysfs path, subsystem, driver, parents, the attributes read).

// One device: its sysfs path, then "E: KEY=value" (udev property), "A: key=value" (attribute)
// and "N: node" (a pty as /dev/<node>) lines.
std::string Record(const std::string &path, const std::string &lines)
{
    return "P: " + path + "\n" + lines + "\n";
}

// A class device with a device number: /dev/<node> made as a pty unless made is false (udev
// would still report the name).
std::string NodeRecord(const std::string &path, const std::string &node, const std::string &subsystem,
                       int major, int minor, bool made = true, const std::string &more = "")
{
    return Record(path, (made ? "N: " + node + "\n" : "") + "E: DEVNAME=/dev/" + node + "\nE: SUBSYSTEM=" +
                            subsystem + "\nA: dev=" + std::to_string(major) + ":" +
                            std::to_string(minor) + "\n" + more);
}

// An attribute line: "A: key=value" for plain printable text, else "H: key=<hex>", which umockdev
// takes byte for byte (its text lines refuse control bytes and what is no UTF-8).
std::string Attribute(const std::string &key, const std::string &value)
{
    bool plain = true;
    for (char c : value)
        plain = plain && c >= 0x20 && c < 0x7f && c != '\\';
    if (plain)
        return "A: " + key + "=" + value + "\n";
    std::string hex;
    for (char c : value) {
        char digits[3];
        snprintf(digits, sizeof digits, "%02x", (unsigned char)c);
        hex += digits;
    }
    return "H: " + key + "=" + hex + "\n";
}

// The number at the end of a node name: lp12 -> 12.
int NodeNumber(const std::string &node)
{
    return std::atoi(node.c_str() + node.find_first_of("0123456789"));
}

std::string Hex2(int n)
{
    char text[8];
    snprintf(text, sizeof text, "%02x", n);
    return text;
}

// The board's PnP device 00:<nn> (ACPI id, e.g. PNP0501 a 16550A UART), bound to driver.
std::string PnpPath(int number) { return "/devices/pnp0/00:" + Hex2(number); }
std::string PnpRecord(int number, const std::string &id, const std::string &driver)
{
    return Record(PnpPath(number), "E: SUBSYSTEM=pnp\nE: DRIVER=" + driver + "\nA: id=" + id + "\n");
}

// Lines first..first+count-1 of the 8250 driver on one physical device, as serial_core
// registers them: the device's controller <dev>:0, a port <dev>:0.<id> per line (ids from
// firstId), and ttyS<line> under it. type is the UART's (4 a 16550A, 0 none behind the line:
// no node then).
std::string UartRecords(const std::string &physical, int first, int count, int firstId, int type)
{
    const std::string name = physical.substr(physical.rfind('/') + 1);
    const std::string ctrl = physical + "/" + name + ":0";
    std::string d = Record(ctrl, "E: DEVTYPE=ctrl\nE: DRIVER=ctrl\nE: SUBSYSTEM=serial-base\n");
    for (int line = first; line < first + count; line++) {
        const std::string port = ctrl + "/" + name + ":0." + std::to_string(firstId + line - first);
        d += Record(port, "E: DEVTYPE=port\nE: DRIVER=port\nE: SUBSYSTEM=serial-base\n") +
             NodeRecord(port + "/tty/ttyS" + std::to_string(line), "ttyS" + std::to_string(line), "tty", 4,
                        64 + line, type != 0, "A: type=" + std::to_string(type) + "\n");
    }
    return d;
}

// The lp driver's node for parport<n>: in the class "printer", its parent the port's hardware
// (physical); the parport device itself sits on the parport bus with no parent.
std::string ParallelRecords(const std::string &physical, int n)
{
    const std::string name = "lp" + std::to_string(n);
    return NodeRecord(physical + "/printer/" + name, name, "printer", 6, n) +
           Record("/devices/parport" + std::to_string(n), "E: DEVTYPE=parport\nE: SUBSYSTEM=parport\n");
}

const char kUsbHost[] = "/devices/pci0000:00/0000:00:14.0/usb1/";

// A device behind a hub sits under the hub's: usb1/1-1/1-1.2.
std::string UsbDevicePath(const std::string &usbPort)
{
    std::string path = kUsbHost;
    for (size_t dot = usbPort.find('.'); dot != std::string::npos; dot = usbPort.find('.', dot + 1))
        path += usbPort.substr(0, dot) + "/";
    return path + usbPort;
}
std::string InterfacePath(const std::string &usbPort)
{
    return UsbDevicePath(usbPort) + "/" + usbPort + ":1.0";
}
std::string PrinterPath(const UsbPrinter &p) { return InterfacePath(p.usbPort) + "/usbmisc/" + p.node; }
// ttyUSBn has a usb-serial port device between interface and tty; ttyACMn has none.
std::string SerialPortPath(const UsbSerial &s) { return InterfacePath(s.usbPort) + "/" + s.node; }
bool HasSerialPort(const UsbSerial &s) { return s.driver != "cdc_acm"; }
std::string TtyPath(const UsbSerial &s)
{
    return (HasSerialPort(s) ? SerialPortPath(s) : InterfacePath(s.usbPort)) + "/tty/" + s.node;
}

// A USB device and its first interface, bound to driver (interfaceLines: its attributes).
std::string UsbRecords(const std::string &usbPort, const std::string &vendor, const std::string &product,
                       const std::string &serial, const std::string &productName, const std::string &driver,
                       const std::string &interfaceLines = "")
{
    std::string d = "E: DEVTYPE=usb_device\nE: DRIVER=usb\nE: SUBSYSTEM=usb\nA: idVendor=" + vendor +
                    "\nA: idProduct=" + product + "\n";
    if (!serial.empty())
        d += "A: serial=" + serial + "\n";
    if (!productName.empty())
        d += "A: product=" + productName + "\n";
    return Record(UsbDevicePath(usbPort), d) +
           Record(InterfacePath(usbPort),
                  "E: DEVTYPE=usb_interface\nE: DRIVER=" + driver + "\nE: SUBSYSTEM=usb\n" + interfaceLines);
}

} // namespace

// What one node's ioctl handler answers: set on the test's thread, read on umockdev's.
struct EmulatedNode {
    UMockdevIoctlBase *handler = nullptr;
    int end = -1;                      // the node's device end
    std::atomic<bool> roundOff{false}; // TCSETS2 and kin: 12345 bit/s become 12300
    std::atomic<bool> uart{false};     // TIOCOUTQ and TCFLSH act on what the end has not read
    std::atomic<int> status{-1};       // LPGETSTATUS's answer; negative: the pty's
    std::atomic<int> modem{-1};        // TIOCMGET's answer; negative: the pty's
    std::atomic<int> gone{0};          // once the device is gone, the errno of every request
};

namespace {

// Answers a request whose argument points to an int with value.
void AnswerInt(UMockdevIoctlClient *client, int value)
{
    GError *error = nullptr;
    UMockdevIoctlData *data =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(int), &error);
    g_clear_error(&error);
    if (data != nullptr)
        *reinterpret_cast<int *>(data->data) = value;
    umockdev_ioctl_client_complete(client, data != nullptr ? 0 : -1, data != nullptr ? 0 : EFAULT);
}

// The bytes a UART's output queue holds: those the device end has not read. The pty hands
// written bytes to the device end a moment later; a UART has them at once.
int OutputQueue(int end)
{
    struct pollfd arrived = {end, POLLIN, 0};
    int queued = 0;
    if (ioctl(end, FIONREAD, &queued) == 0 && queued == 0 && poll(&arrived, 1, 20) > 0)
        ioctl(end, FIONREAD, &queued);
    return queued;
}

// One node's driver: answers what was enabled for it (user: its EmulatedNode), and passes every
// other request to the pty.
gboolean OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user)
{
    const EmulatedNode &node = *static_cast<const EmulatedNode *>(user);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    if (node.gone != 0) {
        umockdev_ioctl_client_complete(client, -1, node.gone);
        return TRUE;
    }
    if (request == LPGETSTATUS && node.status >= 0) {
        AnswerInt(client, node.status);
        return TRUE;
    }
    if (request == TIOCMGET && node.modem >= 0) {
        AnswerInt(client, node.modem);
        return TRUE;
    }
    if (request == TIOCOUTQ && node.uart) {
        AnswerInt(client, OutputQueue(node.end));
        return TRUE;
    }
    // The argument's bytes are the value the caller passed: for TCFLSH the queue selector.
    const unsigned long selector =
        arg->data_len >= (int)sizeof(unsigned long) ? *reinterpret_cast<unsigned long *>(arg->data) : 0;
    if (request == TCFLSH && node.uart && (selector == TCOFLUSH || selector == TCIOFLUSH)) {
        char discard[4096];
        while (read(node.end, discard, sizeof discard) > 0) {
        }
    }
    if (node.roundOff && (request == TCSETS2 || request == TCSETSW2 || request == TCSETSF2)) {
        GError *error = nullptr;
        UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, sizeof(struct termios2), &error);
        if (data != nullptr) {
            auto *t = reinterpret_cast<struct termios2 *>(data->data);
            if (t->c_ospeed == 12345)
                t->c_ospeed = t->c_ispeed = 12300;
        }
        g_clear_error(&error);
    }
    int error = 0;
    GError *failure = nullptr;
    const int result = umockdev_ioctl_client_execute(client, &error, &failure);
    g_clear_error(&failure);
    umockdev_ioctl_client_complete(client, result, error);
    return TRUE;
}

} // namespace

bool Norvat::Load()
{
    module = dlopen(NORVAT_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    return module != nullptr &&
           BindAll([this](const char *name) { return dlsym(module, name); });
}

void Norvat::Unload()
{
    if (module != nullptr)
        dlclose(module);
    module = nullptr;
}

Testbed::Testbed()
{
    bed_ = umockdev_testbed_new();
    // Asked only after the bed exists: umockdev answers this once and keeps the answer.
    if (bed_ == nullptr || !umockdev_in_mock_environment()) {
        error_ = "not under umockdev-wrapper: refusing to touch the machine's real ports";
        return;
    }
    // COM1-COM9 on the board, then the lines the 8250 driver registered at start (it was built
    // for 32) that no UART took over (their ports keep the ids they got then), then the board's
    // parallel port and a PCI card's, then the board's USB hub.
    std::string d;
    for (int line = 0; line <= 8; line++)
        d += PnpRecord(3 + line, "PNP0501", "serial") + UartRecords(PnpPath(3 + line), line, 1, 0, 4);
    d += Record("/devices/platform/serial8250", "E: DRIVER=serial8250\nE: SUBSYSTEM=platform\n") +
         UartRecords("/devices/platform/serial8250", 9, 23, 9, 0);
    const std::string card = "/devices/pci0000:00/0000:00:1c.0/0000:03:00.0";
    d += PnpRecord(2, "PNP0401", "parport_pc") + ParallelRecords(PnpPath(2), 0) +
         Record(card, "E: DRIVER=parport_pc\nE: SUBSYSTEM=pci\n") + ParallelRecords(card, 1);
    d += UsbRecords("1-1", "05e3", "0610", "", "USB2.0 Hub", "hub");
    UsbSerial display;
    display.usbPort = "1-1.2";
    display.node = "ttyACM0";
    display.driver = "cdc_acm";
    display.vendor = "0483";
    display.product = "5740";
    display.serial = "206F35A4";
    display.productName = "Customer display";
    ready_ = Add(d) && Plug(UsbSerial()) && Plug(display);
}

Testbed::~Testbed()
{
    // The nodes, which the handlers' callbacks use, go only after the handlers and the bed.
    for (auto &node : nodes_)
        g_object_unref(node.second->handler);
    if (bed_ != nullptr)
        g_object_unref(bed_);
}

bool Testbed::Add(const std::string &description)
{
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(bed_, description.c_str(), &error)) {
        error_ = error != nullptr ? error->message : "umockdev refused the description";
        g_clear_error(&error);
        return false;
    }
    return true;
}

bool Testbed::Plug(const UsbPrinter &p)
{
    return Add(UsbRecords(p.usbPort, p.vendor, p.product, p.serial, p.productName, "usblp",
                          p.deviceId.empty() ? "" : Attribute("ieee1284_id", p.deviceId)) +
               NodeRecord(PrinterPath(p), "usb/" + p.node, "usbmisc", 180, NodeNumber(p.node)));
}

bool Testbed::Unplug(const UsbPrinter &p)
{
    return Pull("/dev/usb/" + p.node, {PrinterPath(p), InterfacePath(p.usbPort), UsbDevicePath(p.usbPort)},
                ENODEV);
}

bool Testbed::Plug(const UsbSerial &s)
{
    const bool port = HasSerialPort(s);
    const std::string portRecord =
        Record(SerialPortPath(s), "E: DRIVER=" + s.driver + "\nE: SUBSYSTEM=usb-serial\n");
    return Add(UsbRecords(s.usbPort, s.vendor, s.product, s.serial, s.productName, s.driver) +
               (port ? portRecord : "") +
               NodeRecord(TtyPath(s), s.node, "tty", port ? 188 : 166, NodeNumber(s.node)));
}

bool Testbed::Unplug(const UsbSerial &s)
{
    std::vector<std::string> paths = {TtyPath(s), InterfacePath(s.usbPort), UsbDevicePath(s.usbPort)};
    if (HasSerialPort(s))
        paths.insert(paths.begin() + 1, SerialPortPath(s));
    return Pull("/dev/" + s.node, paths, EIO);
}

// Removes the records at paths (children first), makes node's handler answer goneError and
// hangs up node's pty.
bool Testbed::Pull(const std::string &node, const std::vector<std::string> &paths, int goneError)
{
    const int end = umockdev_testbed_get_dev_fd(bed_, node.c_str());
    const std::string root = umockdev_testbed_get_root_dir(bed_);
    char pts[64] = {0};
    if (end < 0 || readlink((root + node).c_str(), pts, sizeof pts - 1) <= 0)
        return false;
    const auto emulated = nodes_.find(node);
    if (emulated != nodes_.end())
        emulated->second->gone = goneError;
    // Children first, or their class links stay and the bed refuses later additions.
    for (const std::string &path : paths)
        umockdev_testbed_remove_device(bed_, ("/sys" + path).c_str());
    // Closing the pty's far end is the hang-up an open descriptor sees; the bed keeps a
    // harmless descriptor under the same number.
    const int null = open("/dev/null", O_RDWR);
    dup2(null, end);
    close(null);
    // The freed pty number is handed out again, and a stale map entry would make the bed abort.
    std::string map = std::string(pts);
    for (char &c : map)
        if (c == '/')
            c = '_';
    unlink((root + "/dev/.ptymap/" + map).c_str());
    return access(node.c_str(), F_OK) != 0;
}

int Testbed::End(const std::string &node)
{
    return umockdev_testbed_get_dev_fd(bed_, node.c_str());
}

EmulatedNode *Testbed::Emulate(const std::string &node)
{
    const auto known = nodes_.find(node);
    if (known != nodes_.end())
        return known->second.get();
    auto made = std::make_unique<EmulatedNode>();
    made->end = End(node);
    if (made->end < 0)
        return nullptr;
    made->handler = umockdev_ioctl_base_new();
    g_signal_connect(made->handler, "handle-ioctl", G_CALLBACK(OnIoctl), made.get());
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(bed_, node.c_str(), made->handler, &error)) {
        error_ = error != nullptr ? error->message : "umockdev refused the ioctl handler";
        g_clear_error(&error);
        g_object_unref(made->handler);
        return nullptr;
    }
    return (nodes_[node] = std::move(made)).get();
}

bool Testbed::PassIoctls(const std::string &node, bool roundOff)
{
    EmulatedNode *emulated = Emulate(node);
    if (emulated != nullptr)
        emulated->roundOff = roundOff;
    return emulated != nullptr;
}

bool Testbed::EmulateUart(const std::string &node)
{
    EmulatedNode *emulated = Emulate(node);
    if (emulated == nullptr)
        return false;
    fcntl(emulated->end, F_SETFL, fcntl(emulated->end, F_GETFL) | O_NONBLOCK);
    emulated->uart = true;
    return true;
}

bool Testbed::SetPrinterStatus(const std::string &node, int status)
{
    EmulatedNode *emulated = Emulate(node);
    if (emulated != nullptr)
        emulated->status = status;
    return emulated != nullptr;
}

bool Testbed::SetModemLines(const std::string &node, int bits)
{
    EmulatedNode *emulated = Emulate(node);
    if (emulated != nullptr)
        emulated->modem = bits;
    return emulated != nullptr;
}

std::string ReadEnd(int fd, size_t count, int ms)
{
    std::string got;
    const double deadline = NowMs() + ms;
    while (got.size() < count) {
        const int left = (int)(deadline - NowMs());
        if (left <= 0)
            break;
        struct pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, left) <= 0 || !(ready.revents & POLLIN))
            break;
        char buffer[65536];
        const size_t want = std::min(sizeof buffer, count - got.size());
        const ssize_t n = read(fd, buffer, want);
        if (n <= 0)
            break;
        got.append(buffer, (size_t)n);
    }
    return got;
}

std::string DrainEnd(int fd, int quietMs)
{
    std::string all;
    for (;;) {
        const std::string more = ReadEnd(fd, 65536, quietMs);
        if (more.empty())
            return all;
        all += more;
    }
}

bool WriteEnd(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

Answerer::Answerer(int fd, const std::string &name) : fd_(fd), name_(name)
{
    thread_ = std::thread([this] { Run(); });
}

Answerer::~Answerer()
{
    stop_ = true;
    thread_.join();
}

std::string Answerer::Received()
{
    std::lock_guard<std::mutex> hold(lock_);
    return received_;
}

void Answerer::Run()
{
    std::string line;
    while (!stop_) {
        // Short reads, so a stop is seen promptly; a closed far end reads as nothing.
        const std::string got = ReadEnd(fd_, 4096, 20);
        if (got.empty()) {
            usleep(1000);
            continue;
        }
        {
            std::lock_guard<std::mutex> hold(lock_);
            received_ += got;
        }
        line += got;
        for (size_t end; (end = line.find("\r\n")) != std::string::npos; line.erase(0, end + 2))
            WriteEnd(fd_, name_ + ":" + line.substr(0, end) + "\r\n");
    }
}

long LineSpeed(int fd)
{
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0)
        return -1;
    return (long)t.c_ospeed;
}

std::string Shell(const std::string &command)
{
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return "<popen failed>";
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

double NowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

std::string ToolPath()
{
    return NORVAT_TOOL;
}

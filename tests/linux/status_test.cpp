// The status requests the bed answers for what the kernel's drivers would: a printer's status
// byte (LPGETSTATUS) on USB and parallel printer nodes and a serial line's modem lines
// (TIOCMGET), asked with raw calls, beside the other emulations on the same node; and the
// answer of a gone device once it is pulled out.
#include "tests/linux/fixture.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/lp.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <map>

namespace {

// What a request that fills an int answers: the int, or -errno.
int Ask(int fd, unsigned long request)
{
    int value = -1;
    return ioctl(fd, request, &value) == 0 ? value : -errno;
}

int Open(const std::string &node)
{
    return open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
}

TEST_F(LinuxTest, StatusRequestsAnswerWhatTheTestSetsUntilTheDeviceIsGone)
{
    UsbPrinter printer;
    printer.serial = "STATUS";
    ASSERT_TRUE(bed.Plug(printer));
    ASSERT_TRUE(bed.PassIoctls("/dev/ttyS2", true));
    ASSERT_TRUE(bed.EmulateUart("/dev/ttyS2"));
    const int online = LP_PSELECD | LP_PERRORP;
    const struct {
        const char *node;
        unsigned long request, other; // other: a request the node leaves to the pty
        int first, then;
    } cases[] = {
        {"/dev/usb/lp0", LPGETSTATUS, TIOCMGET, online, LP_POUTPA | LP_PERRORP},
        {"/dev/lp1", LPGETSTATUS, TIOCMGET, LP_PERRORP, online},
        {"/dev/ttyS2", TIOCMGET, LPGETSTATUS, TIOCM_DSR | TIOCM_CTS | TIOCM_CD, TIOCM_RI},
        {"/dev/ttyUSB0", TIOCMGET, LPGETSTATUS, TIOCM_CTS, 0},
    };
    std::map<std::string, int> fds;
    for (const auto &c : cases) {
        const auto set = [&](int value) {
            return c.request == LPGETSTATUS ? bed.SetPrinterStatus(c.node, value)
                                            : bed.SetModemLines(c.node, value);
        };
        ASSERT_TRUE(set(c.first)) << c.node;
        const int fd = fds[c.node] = Open(c.node);
        ASSERT_GE(fd, 0) << c.node;
        EXPECT_EQ(Ask(fd, c.request), c.first) << c.node;
        ASSERT_TRUE(set(c.then));
        EXPECT_EQ(Ask(fd, c.request), c.then) << c.node;
        EXPECT_EQ(Ask(fd, c.other), -ENOTTY) << c.node;
    }

    // ttyS2's other emulations still hold: TIOCEXCL and termios2 reach the pty (which keeps
    // 12300 for 12345), the output queue is what the device end has not read, a flush empties it.
    const int serial = fds["/dev/ttyS2"];
    EXPECT_EQ(ioctl(serial, TIOCEXCL), 0);
    struct termios2 t;
    ASSERT_EQ(ioctl(serial, TCGETS2, &t), 0);
    t.c_cflag = (t.c_cflag & ~CBAUD) | BOTHER;
    t.c_ispeed = t.c_ospeed = 12345;
    ASSERT_EQ(ioctl(serial, TCSETS2, &t), 0);
    EXPECT_EQ(LineSpeed(bed.End("/dev/ttyS2")), 12300);
    ASSERT_EQ(write(serial, "QUEUE", 5), 5);
    EXPECT_EQ(Ask(serial, TIOCOUTQ), 5);
    EXPECT_EQ(ioctl(serial, TCFLSH, TCOFLUSH), 0);
    EXPECT_EQ(Ask(serial, TIOCOUTQ), 0);

    // Pulled out: the node is gone, and what stayed open gets the driver's answer for a gone
    // device. A printer comes back at another port and node, again and again.
    ASSERT_TRUE(bed.Unplug(UsbSerial()));
    EXPECT_EQ(Ask(fds["/dev/ttyUSB0"], TIOCMGET), -EIO);
    for (int round = 1; round <= 3; round++) {
        ASSERT_TRUE(bed.Unplug(printer)) << round;
        const std::string gone = "/dev/usb/" + printer.node;
        EXPECT_EQ(Open(gone), -1);
        EXPECT_EQ(errno, ENOENT) << gone;
        EXPECT_EQ(Ask(fds[gone], LPGETSTATUS), -ENODEV) << gone;
        printer.usbPort = "1-" + std::to_string(2 + round);
        printer.node = "lp" + std::to_string(round);
        ASSERT_TRUE(bed.Plug(printer)) << round;
        const std::string back = "/dev/usb/" + printer.node;
        const int status = round == 1 ? online : round == 2 ? LP_PERRORP : LP_POUTPA | LP_PERRORP;
        ASSERT_TRUE(bed.SetPrinterStatus(back, status));
        ASSERT_GE(fds[back] = Open(back), 0) << back;
        EXPECT_EQ(Ask(fds[back], LPGETSTATUS), status) << back;
    }
    for (const auto &fd : fds)
        close(fd.second);
}

} // namespace

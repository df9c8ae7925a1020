// The boundary on Linux: refused arguments, errno after every 0 result, and several threads
// sharing the library.
#include "tests/linux/fixture.h"
#include "tests/shared/boundary_cases.h"

#include <dirent.h>
#include <unistd.h>

#include <set>
#include <thread>
#include <vector>

namespace {

TEST_F(LinuxTest, RefusedArgumentsChangeNothing)
{
    ASSERT_EQ(lib.openport("3"), 1);
    const int end = bed.End("/dev/ttyS2");
    ASSERT_TRUE(WriteEnd(end, "WAITING"));
    usleep(50000);

    char buffer[32];
    for (const NamedCall &c : RefusedCalls(lib, buffer))
        EXPECT_TRUE(FailsWith(Call(c.run), EINVAL)) << c.name;

    EXPECT_EQ(LineSpeed(end), 9600);
    EXPECT_EQ(DrainEnd(end, 100), "");
    EXPECT_EQ(lib.RcvBuf(buffer, 31), 7);
    EXPECT_STREQ(buffer, "WAITING");
    lib.closeport();
    ASSERT_EQ(lib.openport("x"), 1) << "openport(NULL) changed the selection";
    EXPECT_TRUE(ProbeArrivesAt("/dev/ttyS2"));
}

TEST_F(LinuxTest, EveryZeroResultSetsErrno)
{
    char buffer[NORVAT_LISTING_BUFFER_SIZE];
    const struct {
        const char *call;
        std::function<int()> run;
        int error;
    } noPort[] = {
        {"sendbuf", [&] { return lib.sendbuf("x", 1); }, EBADF},
        {"sendcommand", [&] { return lib.sendcommand("x"); }, EBADF},
        {"RcvBuf", [&] { return lib.RcvBuf(buffer, 8); }, EBADF},
        {"RcvBuf of 0", [&] { return lib.RcvBuf(buffer, 0); }, EBADF},
        {"setbaudrate", [&] { return lib.setbaudrate(9600); }, EBADF},
        {"OpenUSB(\"COM55\")", [&] { return lib.OpenUSB("COM55"); }, ENOENT},
        {"FindFirstUSB", [&] { return lib.FindFirstUSB(buffer); }, ENOENT},
        {"FindNextUSB", [&] { return lib.FindNextUSB(buffer); }, ENOENT},
        {"openport(\"6\")", [&] { return lib.openport("6"); }, ENODEV},
    };
    for (const auto &c : noPort)
        EXPECT_TRUE(FailsWith(Call(c.run), c.error)) << c.call;

    // A read of 0 bytes on an open port takes nothing and says nothing failed.
    ASSERT_EQ(lib.openport("1"), 1);
    ASSERT_TRUE(WriteEnd(bed.End("/dev/ttyS0"), "KEPT"));
    usleep(50000);
    buffer[0] = 'x';
    EXPECT_TRUE(FailsWith(Call([&] { return lib.RcvBuf(buffer, 0); }), 0));
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(ReadAnswer(4), "KEPT");
}

// The process's open descriptors of files and devices, each with what it refers to: what the
// library could leave open. Pipes, sockets and event descriptors belong to the test bed's own
// threads, which make them as they please.
std::set<std::string> OpenDescriptors()
{
    std::set<std::string> open;
    if (DIR *fds = opendir("/proc/self/fd")) {
        while (const struct dirent *entry = readdir(fds)) {
            char target[256] = {0};
            const std::string path = std::string("/proc/self/fd/") + entry->d_name;
            if (entry->d_name[0] != '.' && readlink(path.c_str(), target, sizeof target - 1) > 0 &&
                target[0] == '/' && std::string(target).rfind("/proc/", 0) != 0)
                open.insert(std::string(entry->d_name) + " " + target);
        }
        closedir(fds);
    }
    return open;
}

std::string Added(const std::set<std::string> &before, const std::set<std::string> &after)
{
    std::string added;
    for (const std::string &fd : after)
        if (before.count(fd) == 0)
            added += " [" + fd + "]";
    return added;
}

class LinuxThreads : public LinuxTest, public ::testing::WithParamInterface<bool> {};

TEST_P(LinuxThreads, WritersAndAReaderShareOnePrinterWithoutLosingOrMixingBytes)
{
    const bool byCommand = GetParam();
    UsbPrinter printer;
    printer.serial = "MT";
    ASSERT_TRUE(bed.Plug(printer));
    ASSERT_EQ(lib.OpenUSB("MT"), 1);
    Answerer device(bed.End("/dev/usb/lp0"), "MT");
    const std::set<std::string> descriptors = OpenDescriptors();

    std::mutex lock;
    double longestMs = 0;
    int failures = 0;
    auto timed = [&](const std::function<bool()> &call) {
        const double start = NowMs();
        const bool ok = call();
        std::lock_guard<std::mutex> hold(lock);
        longestMs = std::max(longestMs, NowMs() - start);
        failures += ok ? 0 : 1;
    };
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; w++) {
        writers.emplace_back([&, w] {
            for (int n = 0; n < kRecords; n++) {
                const std::string record = Record(w, n);
                timed([&] {
                    return byCommand ? lib.sendcommand(record.substr(0, kRecordSize - 2).c_str()) == 1
                                     : lib.sendbuf(record.data(), (int)record.size()) ==
                                           (int)record.size();
                });
            }
        });
    }
    std::string answers;
    std::thread reader([&] {
        const size_t expected = kWriters * kRecords * (kRecordSize + 3); // "MT:" + record
        const double deadline = NowMs() + 60000;
        char buffer[1025];
        while (answers.size() < expected && NowMs() < deadline) {
            int n = 0;
            timed([&] {
                n = lib.RcvBuf(buffer, 1024);
                return true;
            });
            if (n > 0)
                answers.append(buffer, (size_t)n);
        }
    });
    for (std::thread &writer : writers)
        writer.join();
    reader.join();

    EXPECT_EQ(failures, 0);
    EXPECT_LT(longestMs, 5000);
    ASSERT_EQ(RecordsCheck(device.Received()), "");
    const std::vector<std::string> lines = Lines(device.Received());
    std::multiset<std::string> got, expected;
    for (const std::string &answer : Lines(answers))
        got.insert(answer);
    for (const std::string &line : lines)
        expected.insert("MT:" + line);
    EXPECT_TRUE(got == expected) << "answers read: " << answers.size() << " bytes";
    EXPECT_EQ(Added(descriptors, OpenDescriptors()), "") << "descriptors left behind";
}

INSTANTIATE_TEST_SUITE_P(Boundary, LinuxThreads, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "Sendcommand" : "Sendbuf";
                         });

} // namespace

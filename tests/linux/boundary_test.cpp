// The boundary on Linux: refused arguments, errno after every 0 result, and several threads
// sharing the library.
#include "tests/linux/fixture.h"

#include <dirent.h>
#include <unistd.h>

#include <climits>
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
    const struct {
        const char *call;
        std::function<int()> run;
    } refused[] = {
        {"openport(NULL)", [&] { return lib.openport(nullptr); }},
        {"OpenUSB(NULL)", [&] { return lib.OpenUSB(nullptr); }},
        {"FindFirstUSB(NULL)", [&] { return lib.FindFirstUSB(nullptr); }},
        {"FindNextUSB(NULL)", [&] { return lib.FindNextUSB(nullptr); }},
        {"GetDllVersion(NULL)", [&] { return lib.GetDllVersion(nullptr); }},
        {"sendbuf(NULL, 3)", [&] { return lib.sendbuf(nullptr, 3); }},
        {"sendbuf(NULL, 0)", [&] { return lib.sendbuf(nullptr, 0); }},
        {"sendbuf(data, -1)", [&] { return lib.sendbuf("abc", -1); }},
        {"sendbuf(data, INT_MIN)", [&] { return lib.sendbuf("abc", INT_MIN); }},
        {"sendcommand(NULL)", [&] { return lib.sendcommand(nullptr); }},
        {"RcvBuf(NULL, 5)", [&] { return lib.RcvBuf(nullptr, 5); }},
        {"RcvBuf(buffer, -1)", [&] { return lib.RcvBuf(buffer, -1); }},
        {"setbaudrate(0)", [&] { return lib.setbaudrate(0); }},
        {"setbaudrate(-9600)", [&] { return lib.setbaudrate(-9600); }},
        {"setbaudrate(INT_MIN)", [&] { return lib.setbaudrate(INT_MIN); }},
    };
    for (const auto &c : refused)
        EXPECT_TRUE(FailsWith(Call(c.run), EINVAL)) << c.call;

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

// Four host threads write 100 records of 32 bytes each to one printer, a fifth reads the
// answers, as a point-of-sale program with a UI thread and a status poller does.
const int kWriters = 4;
const int kRecords = 100;
const size_t kRecordSize = 32;

std::string Record(int writer, int n)
{
    char head[16];
    std::snprintf(head, sizeof head, "T%dR%03d:", writer, n);
    std::string record = head;
    record.append(kRecordSize - 2 - record.size(), (char)('a' + writer));
    return record + "\r\n";
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(text.substr(at, end + 2 - at));
    if (at < text.size())
        lines.push_back(text.substr(at));
    return lines;
}

size_t OpenDescriptors()
{
    size_t n = 0;
    if (DIR *fds = opendir("/proc/self/fd")) {
        while (readdir(fds) != nullptr)
            n++;
        closedir(fds);
    }
    return n;
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
    const size_t descriptors = OpenDescriptors();

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
    const std::vector<std::string> lines = Lines(device.Received());
    ASSERT_EQ(lines.size(), (size_t)(kWriters * kRecords));
    int nextOf[kWriters] = {};
    for (const std::string &line : lines) {
        const int writer = line.size() > 1 ? line[1] - '0' : -1;
        ASSERT_TRUE(writer >= 0 && writer < kWriters) << "mixed bytes: " << line;
        ASSERT_EQ(line, Record(writer, nextOf[writer])) << "mixed or lost bytes";
        nextOf[writer]++;
    }
    std::multiset<std::string> got, expected;
    for (const std::string &answer : Lines(answers))
        got.insert(answer);
    for (const std::string &line : lines)
        expected.insert("MT:" + line);
    EXPECT_TRUE(got == expected) << "answers read: " << answers.size() << " bytes";
    EXPECT_EQ(OpenDescriptors(), descriptors) << "a descriptor was left behind";
}

INSTANTIATE_TEST_SUITE_P(Boundary, LinuxThreads, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "Sendcommand" : "Sendbuf";
                         });

} // namespace

// What the boundary tests of both platforms drive the library with: the calls it must refuse,
// and the records several threads send at once.
#pragma once

#include <climits>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/shared/exports.h"

struct NamedCall {
    const char *name;
    std::function<int()> run;
};

// Every call with a null text or buffer, a negative count or a rate of 0 or below. buffer is
// a host buffer of at least 32 bytes for the calls that are refused for their count.
inline std::vector<NamedCall> RefusedCalls(NorvatExports &lib, char *buffer)
{
    return {
        {"openport(NULL)", [&lib] { return lib.openport(nullptr); }},
        {"OpenUSB(NULL)", [&lib] { return lib.OpenUSB(nullptr); }},
        {"FindFirstUSB(NULL)", [&lib] { return lib.FindFirstUSB(nullptr); }},
        {"FindNextUSB(NULL)", [&lib] { return lib.FindNextUSB(nullptr); }},
        {"GetDllVersion(NULL)", [&lib] { return lib.GetDllVersion(nullptr); }},
        {"sendbuf(NULL, 3)", [&lib] { return lib.sendbuf(nullptr, 3); }},
        {"sendbuf(NULL, 0)", [&lib] { return lib.sendbuf(nullptr, 0); }},
        {"sendbuf(data, -1)", [&lib] { return lib.sendbuf("abc", -1); }},
        {"sendbuf(data, INT_MIN)", [&lib] { return lib.sendbuf("abc", INT_MIN); }},
        {"sendcommand(NULL)", [&lib] { return lib.sendcommand(nullptr); }},
        {"RcvBuf(NULL, 5)", [&lib] { return lib.RcvBuf(nullptr, 5); }},
        {"RcvBuf(buffer, -1)", [&lib, buffer] { return lib.RcvBuf(buffer, -1); }},
        {"setbaudrate(0)", [&lib] { return lib.setbaudrate(0); }},
        {"setbaudrate(-9600)", [&lib] { return lib.setbaudrate(-9600); }},
        {"setbaudrate(INT_MIN)", [&lib] { return lib.setbaudrate(INT_MIN); }},
    };
}

// Four host threads write 100 records of 32 bytes each to one printer while a fifth reads the
// answers, as a point-of-sale program with a UI thread and a status poller does.
const int kWriters = 4;
const int kRecords = 100;
const size_t kRecordSize = 32;

// A record that says who sent it: "T1R042:" and filler, then CR LF.
inline std::string Record(int writer, int n)
{
    char head[16];
    std::snprintf(head, sizeof head, "T%dR%03d:", writer, n);
    std::string record = head;
    record.append(kRecordSize - 2 - record.size(), (char)('a' + writer));
    return record + "\r\n";
}

// Splits text into its CR LF-ended lines; a trailing part without CR LF is kept as is.
inline std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(text.substr(at, end + 2 - at));
    if (at < text.size())
        lines.push_back(text.substr(at));
    return lines;
}

// Empty when what the printer received is every writer's records, whole and each writer's in
// order; else what is wrong.
inline std::string RecordsCheck(const std::string &received)
{
    const std::vector<std::string> lines = Lines(received);
    if (lines.size() != (size_t)(kWriters * kRecords))
        return std::to_string(lines.size()) + " lines arrived";
    int nextOf[kWriters] = {};
    for (const std::string &line : lines) {
        const int writer = line.size() > 1 ? line[1] - '0' : -1;
        if (writer < 0 || writer >= kWriters || line != Record(writer, nextOf[writer]))
            return "mixed or lost bytes at: " + line;
        nextOf[writer]++;
    }
    return "";
}

// norvat_simprinter: simulated printers for the demo and for trying the tool by hand.
//   norvat_simprinter [--com N]... [--usb SERIAL DESCRIPTION]... --until FILE [--ready FILE]
// --com N answers on the device end of the test bed's COM N; --usb registers a USB printer
// entry and serves its pipe. Each printer answers every CR LF-ended line with
// "<name>:<line>" CR LF. Runs until FILE exists, then removes its registry entries.
#include "tests/win/testbed.h"
#include "tests/win/usb_sim.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct ComPrinter {
    int port;
    HANDLE stop;
};

DWORD WINAPI AnswerOnCom(void *arg)
{
    auto *printer = static_cast<ComPrinter *>(arg);
    DeviceEnd device(DeviceEndOf(printer->port));
    const std::string name = "COM" + std::to_string(printer->port);
    std::string line;
    while (device.IsOpen() && WaitForSingleObject(printer->stop, 0) != WAIT_OBJECT_0) {
        line += device.Read(1, 100);
        for (size_t end; (end = line.find("\r\n")) != std::string::npos; line.erase(0, end + 2))
            device.Write(name + ":" + line.substr(0, end) + "\r\n");
    }
    return 0;
}

bool Exists(const std::string &unixPath)
{
    return GetFileAttributesA(ToWindowsPath(unixPath).c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<int> comPorts;
    std::vector<std::pair<std::string, std::string>> usb;
    std::string until, ready;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--com" && i + 1 < argc) {
            comPorts.push_back(std::atoi(argv[++i]));
        } else if (arg == "--usb" && i + 2 < argc) {
            usb.emplace_back(argv[i + 1], argv[i + 2]);
            i += 2;
        } else if (arg == "--until" && i + 1 < argc) {
            until = argv[++i];
        } else if (arg == "--ready" && i + 1 < argc) {
            ready = argv[++i];
        } else {
            std::fprintf(stderr, "usage: norvat_simprinter [--com N]... [--usb SERIAL "
                                 "DESCRIPTION]... --until FILE [--ready FILE]\n");
            return 2;
        }
    }
    if (until.empty())
        return 2;
    if (!usb.empty() && !UnderWine()) {
        std::fprintf(stderr, "norvat_simprinter: refusing to write the registry outside Wine\n");
        return 1;
    }

    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<ComPrinter> com;
    for (int port : comPorts)
        com.push_back({port, stop});
    std::vector<HANDLE> threads;
    for (ComPrinter &printer : com)
        threads.push_back(CreateThread(nullptr, 0, AnswerOnCom, &printer, 0, nullptr));

    std::vector<std::unique_ptr<SimulatedPrinter>> printers;
    std::vector<std::string> subkeys;
    for (size_t i = 0; i < usb.size(); i++) {
        UsbEntry entry;
        entry.subkey = "demo" + std::to_string(i);
        entry.link = PipeLink("VID_03F0&PID_1950", usb[i].first);
        entry.description = usb[i].second;
        if (!UsbRegistry::Write(entry)) {
            std::fprintf(stderr, "norvat_simprinter: cannot write the registry entry\n");
            return 1;
        }
        subkeys.push_back(entry.subkey);
        printers.push_back(std::make_unique<SimulatedPrinter>(entry.link, usb[i].first));
    }

    if (!ready.empty()) {
        HANDLE file = CreateFileA(ToWindowsPath(ready).c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, 0, nullptr);
        CloseHandle(file);
    }
    while (!Exists(until))
        Sleep(100);

    SetEvent(stop);
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, 5000);
        CloseHandle(thread);
    }
    printers.clear();
    for (const std::string &subkey : subkeys)
        UsbRegistry::Remove(subkey);
    CloseHandle(stop);
    return 0;
}

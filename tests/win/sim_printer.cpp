// norvat_simprinter: simulated printers for the demo and for trying the tool by hand.
//   norvat_simprinter [--com N]... [--usb SERIAL DESCRIPTION]...
//                     [--printer VVVV:PPPP SERIAL DESCRIPTION DEVICE-ID]... --until FILE [--ready FILE]
// --com N answers on the device end of the test bed's COM N; --usb registers a USB printer
// entry and serves its pipe. Each answers every CR LF-ended line with "<name>:<line>" CR LF.
// --printer plugs a printer of any maker into the test bed's driver (64-bit only) and registers
// it: it answers "~HS" with "<serial>:READY" and the ESC/POS real-time status requests (its
// paper roll near its end). Runs until FILE exists, then removes its registry entries.
#include "tests/win/driver_printer.h"
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
    struct Printer {
        std::string ids, serial, description, deviceId;
    };
    std::vector<Printer> driverPrinters;
    std::string until, ready;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--com" && i + 1 < argc) {
            comPorts.push_back(std::atoi(argv[++i]));
        } else if (arg == "--usb" && i + 2 < argc) {
            usb.emplace_back(argv[i + 1], argv[i + 2]);
            i += 2;
        } else if (arg == "--printer" && i + 4 < argc && std::strlen(argv[i + 1]) == 9) {
            driverPrinters.push_back({argv[i + 1], argv[i + 2], argv[i + 3], argv[i + 4]});
            i += 4;
        } else if (arg == "--until" && i + 1 < argc) {
            until = argv[++i];
        } else if (arg == "--ready" && i + 1 < argc) {
            ready = argv[++i];
        } else {
            std::fprintf(stderr, "usage: norvat_simprinter [--com N]... [--usb SERIAL "
                                 "DESCRIPTION]... [--printer VVVV:PPPP SERIAL DESCRIPTION "
                                 "DEVICE-ID]... --until FILE [--ready FILE]\n");
            return 2;
        }
    }
    if (until.empty())
        return 2;
    if ((!usb.empty() || !driverPrinters.empty()) && !UnderWine()) {
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

    std::vector<std::unique_ptr<DriverDevice>> devices;
    for (size_t i = 0; i < driverPrinters.size(); i++) {
        const Printer &p = driverPrinters[i];
        const std::string link = "USB#VID_" + p.ids.substr(0, 4) + "&PID_" + p.ids.substr(5) +
                                 "#" + p.serial + "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
        devices.push_back(std::make_unique<DriverDevice>(DriverDevice::kUsbPrinter, link));
        DriverDevice &d = *devices.back();
        const std::string why = DriverDevice::Unavailable();
        if (!why.empty() || !d.Plugged() || !d.SetDeviceId(p.deviceId) ||
            !RegisterDriverPrinter("demo-printer" + std::to_string(i), link, p.description)) {
            std::fprintf(stderr, "norvat_simprinter: cannot plug %s: %s\n", p.serial.c_str(),
                         why.empty() ? "the driver refused it" : why.c_str());
            return 1;
        }
        subkeys.push_back("demo-printer" + std::to_string(i));
        d.AnswerWhen("~HS\r\n", p.serial + ":READY\r\n");
        for (const char *answer : {"\x10\x04\x01\x12", "\x10\x04\x02\x12", "\x10\x04\x04\x1e",
                                   "\x10\x04\x03\x12"})
            d.AnswerWhen(std::string(answer, 3), std::string(answer + 3, 1));
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
    devices.clear();
    for (const std::string &subkey : subkeys)
        UsbRegistry::Remove(subkey);
    CloseHandle(stop);
    return 0;
}

// The ten exports as a host binds them by name at run time, for the test harnesses of both
// platforms (GetProcAddress on Windows, dlsym on Linux).
#pragma once

#include "include/norvat.h"

struct NorvatExports {
    decltype(&::openport) openport = nullptr;
    decltype(&::OpenUSB) OpenUSB = nullptr;
    decltype(&::FindFirstUSB) FindFirstUSB = nullptr;
    decltype(&::FindNextUSB) FindNextUSB = nullptr;
    decltype(&::closeport) closeport = nullptr;
    decltype(&::setbaudrate) setbaudrate = nullptr;
    decltype(&::sendbuf) sendbuf = nullptr;
    decltype(&::sendcommand) sendcommand = nullptr;
    decltype(&::RcvBuf) RcvBuf = nullptr;
    decltype(&::GetDllVersion) GetDllVersion = nullptr;

    // Binds every export through lookup(name), which returns its address or null. False when
    // any is missing.
    template <typename Lookup> bool BindAll(Lookup lookup)
    {
        return Bind(lookup, "openport", openport) && Bind(lookup, "OpenUSB", OpenUSB) &&
               Bind(lookup, "FindFirstUSB", FindFirstUSB) &&
               Bind(lookup, "FindNextUSB", FindNextUSB) && Bind(lookup, "closeport", closeport) &&
               Bind(lookup, "setbaudrate", setbaudrate) && Bind(lookup, "sendbuf", sendbuf) &&
               Bind(lookup, "sendcommand", sendcommand) && Bind(lookup, "RcvBuf", RcvBuf) &&
               Bind(lookup, "GetDllVersion", GetDllVersion);
    }

private:
    template <typename Lookup, typename T> static bool Bind(Lookup lookup, const char *name, T &fn)
    {
        fn = reinterpret_cast<T>(lookup(name));
        return fn != nullptr;
    }
};

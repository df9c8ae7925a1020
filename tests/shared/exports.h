// The library's functions as a host binds them by name at run time, for the test harnesses of
// both platforms (GetProcAddress on Windows, dlsym on Linux): the ten, and the handles' ones.
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

    decltype(&::norvat_open) open = nullptr;
    decltype(&::norvat_close) close = nullptr;
    decltype(&::norvat_write) write = nullptr;
    decltype(&::norvat_read) read = nullptr;
    decltype(&::norvat_set_baud_rate) set_baud_rate = nullptr;
    decltype(&::norvat_cancel) cancel = nullptr;
    decltype(&::norvat_list_ports) list_ports = nullptr;
    decltype(&::norvat_port_list_get) port_list_get = nullptr;
    decltype(&::norvat_free_port_list) free_port_list = nullptr;
    decltype(&::norvat_error_text) error_text = nullptr;
    decltype(&::norvat_status) status = nullptr;
    decltype(&::norvat_pending) pending = nullptr;
    decltype(&::norvat_discard_input) discard_input = nullptr;
    decltype(&::norvat_escpos_status) escpos_status = nullptr;

    // Binds every export through lookup(name), which returns its address or null. False when
    // any is missing.
    template <typename Lookup> bool BindAll(Lookup lookup)
    {
        return Bind(lookup, "norvat_open", open) && Bind(lookup, "norvat_close", close) &&
               Bind(lookup, "norvat_write", write) && Bind(lookup, "norvat_read", read) &&
               Bind(lookup, "norvat_set_baud_rate", set_baud_rate) &&
               Bind(lookup, "norvat_cancel", cancel) &&
               Bind(lookup, "norvat_list_ports", list_ports) &&
               Bind(lookup, "norvat_port_list_get", port_list_get) &&
               Bind(lookup, "norvat_free_port_list", free_port_list) &&
               Bind(lookup, "norvat_error_text", error_text) &&
               Bind(lookup, "norvat_status", status) && Bind(lookup, "norvat_pending", pending) &&
               Bind(lookup, "norvat_discard_input", discard_input) &&
               Bind(lookup, "norvat_escpos_status", escpos_status) &&
               Bind(lookup, "openport", openport) && Bind(lookup, "OpenUSB", OpenUSB) &&
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

// A network printer on loopback for the tests of both platforms: it listens on 127.0.0.1 and ::1
// at one port, records every byte that reaches it, answers each CR LF-ended line with
// "NET:<line>" CR LF, and can reset its connection, as a printer that is restarted does. One
// connection at a time, as a printer's raw port serves. Loopback only: nothing else is bound.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

class LoopbackPrinter {
public:
    explicit LoopbackPrinter(int port = 0); // 0: a free port
    ~LoopbackPrinter();
    LoopbackPrinter(const LoopbackPrinter &) = delete;
    LoopbackPrinter &operator=(const LoopbackPrinter &) = delete;

    bool Listening() const { return port_ > 0; }
    int Port() const { return port_; }
    std::string Address() const; // "tcp://127.0.0.1:<port>"
    std::string Received();
    bool WaitForBytes(size_t count, int ms);
    int Connections();
    bool WaitDisconnected(int ms); // the client closed its end
    void Reset();                  // resets the connection it holds (RST, not FIN)
    void SetSlow(bool slow);       // takes 4 KiB every 50 ms, as a printer busy printing

private:
    void Run();
    intptr_t listeners_[2] = {-1, -1};
    int port_ = 0;
    std::mutex lock_;
    std::string received_;
    int connections_ = 0;
    bool connected_ = false;
    std::atomic<bool> reset_{false}, stop_{false}, slow_{false};
    std::thread thread_;
};

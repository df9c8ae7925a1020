// A network printer on loopback for the tests of both platforms: it listens on 127.0.0.1 and ::1
// at one port, records every byte that reaches it, answers each CR LF-ended line with
// "NET:<line>" CR LF, and can reset its connection, as a printer that is restarted does. One
// connection at a time, as a printer's raw port serves. Loopback only: nothing else is bound.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
    // Ends the connection it holds: resets it (RST), as a printer that restarts, or closes it
    // (FIN), as one that drops an idle connection. It goes on listening.
    void Reset(bool reset = true);
    void SetSlow(bool slow);       // takes 4 KiB every 50 ms, as a printer busy printing
    // Sends bytes on the connection it holds; from now on answers each occurrence of written
    // with answer, delayMs later (a printer's real-time status answers).
    void Send(const std::string &bytes);
    void AnswerWhen(const std::string &written, const std::string &answer, int delayMs);
    void ClearAnswers();

private:
    void Run();
    intptr_t listeners_[2] = {-1, -1};
    int port_ = 0;
    std::mutex lock_;
    std::string received_, unanswered_, outgoing_;
    struct Rule {
        std::string written, answer;
        int delayMs;
    };
    std::vector<Rule> rules_;
    int connections_ = 0;
    bool connected_ = false;
    enum { kDropReset = 1, kDropClose = 2 };
    std::atomic<int> drop_{0};
    std::atomic<bool> stop_{false}, slow_{false};
    std::thread thread_;
};

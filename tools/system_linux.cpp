// The norvat tool's system calls on Linux.
#include "tools/system.h"

#include <dlfcn.h>
#include <netdb.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

volatile sig_atomic_t interrupted = 0;

void OnInterrupt(int)
{
    interrupted = 1;
}

} // namespace

unsigned long long NowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (unsigned long long)now.tv_sec * 1000 + (unsigned long long)now.tv_nsec / 1000000;
}

int LastReason()
{
    return errno;
}

std::string ReasonText(int reason)
{
    if (reason == 0)
        return "";
    // glibc's resolver codes are negative, apart from errno's: EAI_NONAME is -2.
    return reason < 0 ? gai_strerror(reason) : std::strerror(reason);
}

std::string AccessAdvice()
{
    return "add your user to the groups lp (USB and parallel printers) and dialout (serial "
           "ports): sudo usermod -aG lp,dialout $USER, then log in again";
}

std::string UsbPrintersProblem()
{
    // The library finds USB printers through libudev.so.1, loaded at run time; asking the
    // dynamic loader the same question is the honest answer. The tool links no libudev.
    void *udev = dlopen("libudev.so.1", RTLD_LAZY | RTLD_LOCAL);
    if (udev == nullptr)
        return "libudev.so.1 is not installed: USB printers cannot be listed or opened without it";
    dlclose(udev);
    return "";
}

long ReadInput(char *buffer, unsigned long size)
{
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, buffer, size);
        if (n >= 0)
            return (long)n;
        if (errno != EINTR || interrupted)
            return -1;
    }
}

void CatchInterrupt()
{
    // No SA_RESTART: a read of standard input that the signal breaks returns, and its thread
    // sees the flag.
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
}

bool Interrupted()
{
    return interrupted != 0;
}

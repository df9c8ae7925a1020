// The fixture most Linux tests share: a fresh test bed and a fresh load of libNorvat.so.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>

#include "tests/linux/testbed.h"

class LinuxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bed.Ready()) << bed.Error();
        ASSERT_TRUE(lib.Load()) << "libNorvat.so or one of its exports is missing";
    }
    void TearDown() override
    {
        if (lib.closeport != nullptr)
            lib.closeport();
        lib.Unload();
    }

    // Sends a probe through the library and says whether the end of node received exactly it.
    ::testing::AssertionResult ProbeArrivesAt(const std::string &node)
    {
        const int end = bed.End(node);
        if (end < 0)
            return ::testing::AssertionFailure() << "no device end for " << node;
        DrainEnd(end, 20);
        const std::string probe = "probe-" + std::to_string((long)NowMs());
        if (lib.sendbuf(probe.data(), (int)probe.size()) != (int)probe.size())
            return ::testing::AssertionFailure() << "sendbuf did not write the probe";
        const std::string got = ReadEnd(end, probe.size(), 2000);
        if (got != probe)
            return ::testing::AssertionFailure() << node << " got '" << got << "'";
        return ::testing::AssertionSuccess();
    }

    // Reads up to size bytes of answer through the library, over a few calls if need be.
    std::string ReadAnswer(size_t size)
    {
        std::string got;
        char buffer[4097];
        for (int call = 0; call < 8 && got.size() < size; call++) {
            const int n = lib.RcvBuf(buffer, (int)std::min<size_t>(size - got.size(), 4096));
            if (n > 0)
                got.append(buffer, (size_t)n);
        }
        return got;
    }

    Testbed bed;
    Norvat lib;
};

// The result of one call and errno right after it.
struct Outcome {
    int result;
    int error;
};

inline Outcome Call(const std::function<int()> &call)
{
    errno = 12345;
    const int result = call();
    return {result, errno};
}

inline ::testing::AssertionResult FailsWith(const Outcome &outcome, int error)
{
    if (outcome.result == 0 && outcome.error == error)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "gave " << outcome.result << " with errno "
                                         << outcome.error << ", expected 0 with " << error;
}

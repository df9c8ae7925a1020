// Network printers on Linux, in a network namespace of each test's own: loopback only, so no
// packet leaves the machine and the packet filter rules touch nothing else.
#include "tests/linux/fixture.h"
#include "tests/linux/own_network.h"
#include "tests/shared/network_cases.h"

#include <netdb.h>
#include <signal.h>

namespace {

class LinuxNetwork : public LinuxTest {
protected:
    void SetUp() override
    {
        LinuxTest::SetUp();
        const std::string problem = EnterOwnNetwork();
        if (!problem.empty())
            GTEST_SKIP() << problem;
        // A host dies of a SIGPIPE unless it says otherwise; ctest may have had it ignored.
        signal(SIGPIPE, SIG_DFL);
    }
    const NetworkPlatform platform{
        [] { return errno; },
        Shell,
        [](int code) { return code < 0; }, // EAI_*, negative in glibc
        EINVAL, ETIMEDOUT, ECONNREFUSED, ETIMEDOUT,
        {ECONNRESET, EPIPE},
        ENOTTY,
        [this] {
            lib.Unload();
            ASSERT_TRUE(lib.Load());
        },
    };
};

TEST_F(LinuxNetwork, RoundTripsByIPv4IPv6AndNameOnTheGivenOrDefaultPort)
{
    CheckNetworkRoundTrips(lib, platform);
}

TEST_F(LinuxNetwork, RefusedUnknownAndMalformedAddressesFailWithTheirReasons)
{
    CheckNetworkOpenFailures(lib, platform);
}

TEST_F(LinuxNetwork, PrinterThatResetsTheConnectionFailsTheNextCallsAndTheHostLives)
{
    CheckNetworkPrinterThatResets(lib, platform);
}

TEST_F(LinuxNetwork, DroppedConnectionRequestsGiveUpAfterAbout5s)
{
    CheckNetworkConnectTimesOut(lib, platform);
}

TEST_F(LinuxNetwork, PrinterSwitchedOffOrTooSlowGetsOnlyTheAcknowledgedCount)
{
    CheckNetworkPrinterThatStopsAnswering(lib, platform);
}

} // namespace

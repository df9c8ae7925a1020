// Network printers under Wine. Wine's server makes the sockets, so these run with that server in
// a network namespace of the test run's own (scripts/test.sh starts it there): loopback only,
// and the packet filter rules touch nothing else.
#include <winsock2.h>

#include "tests/shared/network_cases.h"
#include "tests/win/usb_fixture.h"

#include <algorithm>
#include <cstdlib>

namespace {

class Network : public Usb {
protected:
    void SetUp() override
    {
        Usb::SetUp();
        if (!ServerInOwnNetwork())
            GTEST_SKIP() << "needs Wine's server in a network namespace of its own "
                            "(scripts/test.sh runs these tests in one)";
        // setbaudrate on a network printer fails as on a USB printer: take that printer's
        // reason from the platform.
        Plug("e0", kHp, "NOTSERIAL", "Not serial");
        ASSERT_EQ(lib.OpenUSB("NOTSERIAL"), 1);
        ASSERT_EQ(lib.setbaudrate(9600), 0);
        platform.notSerial = (int)GetLastError();
        lib.closeport();
    }
    NetworkPlatform platform{
        [] { return (int)GetLastError(); },
        RunUnix,
        [](int code) { return code >= WSAHOST_NOT_FOUND && code <= WSANO_DATA; },
        ERROR_INVALID_PARAMETER, ERROR_TIMEOUT, WSAECONNREFUSED, WSAETIMEDOUT,
        {WSAECONNRESET, WSAECONNABORTED},
        0,
        [this] {
            lib.Unload();
            ASSERT_TRUE(lib.Load());
        },
    };
};

TEST_F(Network, RoundTripsByIPv4IPv6AndNameOnTheGivenOrDefaultPort)
{
    CheckNetworkRoundTrips(lib, platform);
}

TEST_F(Network, RefusedUnknownAndMalformedAddressesFailWithTheirReasons)
{
    CheckNetworkOpenFailures(lib, platform);
}

TEST_F(Network, PrinterThatResetsTheConnectionFailsTheNextCallsAndTheHostLives)
{
    CheckNetworkPrinterThatResets(lib, platform);
}

TEST_F(Network, DroppedConnectionRequestsGiveUpAfterAbout5s)
{
    CheckNetworkConnectTimesOut(lib, platform);
}

TEST_F(Network, PrinterSwitchedOffOrTooSlowGetsOnlyTheAcknowledgedCount)
{
    // The count is what the printer acknowledged only where the platform reports it.
    LoopbackPrinter printer;
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons((u_short)printer.Port());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    DWORD version = 0, size = 0;
    char info[256];
    const bool tells = connect(probe, (sockaddr *)&to, sizeof to) == 0 &&
                       WSAIoctl(probe, 0xD8000027 /* SIO_TCP_INFO */, &version, sizeof version,
                                info, sizeof info, &size, nullptr, nullptr) == 0;
    closesocket(probe);
    if (!tells)
        GTEST_SKIP() << "this platform reports no acknowledgements (SIO_TCP_INFO failed with "
                     << WSAGetLastError() << "), so a write counts what the TCP stack took";
    CheckNetworkPrinterThatStopsAnswering(lib, platform);
}

} // namespace

/* Finding any maker's printer by what a host calls it, the same on both platforms. */
#include "usb/usb.h"

#include "interface/reason.h"
#include "interface/text.h"
#include "interface/timing.h"
#include "port/port.h"
#include "usb/link.h"

namespace {

struct Search {
    const char *request;
    PrinterMatch best;
    char node[kPrinterText];
};

bool Consider(const PrinterRecord *record, void *context)
{
    Search *search = static_cast<Search *>(context);
    const PrinterMatch match = MatchPrinter(search->request, record->link, record->serial);
    /* The link or the whole serial wins at once; a cut serial only when nothing better comes. */
    if (match != kNoMatch && (search->best == kNoMatch || match != kMatchesCut)) {
        search->best = match;
        CopyText(search->node, sizeof search->node, record->node);
    }
    return match == kMatchesLink || match == kMatchesSerial;
}

} // namespace

int OpenPrinter(PortSession *port, const char *request)
{
    Search search;
    search.request = request;
    search.best = kNoMatch;
    search.node[0] = '\0';
    if (!EachPrinter(Consider, &search, false))
        return 0;
    if (search.best == kNoMatch)
        return Refuse(kReasonNoPrinter);
    return OpenPortByName(port, search.node, kConnectTimeoutMs);
}

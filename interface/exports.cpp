/* The exports that need nothing but this folder: the version text and the sample exports. */
#include "include/norvat.h"
#include "interface/text.h"
#include "interface/version.h"

int NORVAT_CALL GetDllVersion(char *buffer)
{
    static const char kVersion[] = NORVAT_VERSION_TEXT;
    return (int)CopyText(buffer, sizeof kVersion, kVersion);
}

/* Sample exports, kept for hosts that bind them by their decorated names. Nothing in the
 * library uses them. */
class CNorvat {
public:
    CNorvat();
    CNorvat &operator=(const CNorvat &);
};

CNorvat::CNorvat() {}

CNorvat &CNorvat::operator=(const CNorvat &) { return *this; }

int fnNorvat() { return 42; }

int nNorvat = 0;

/* GetDllVersion, the one export that needs nothing but this folder. */
#include "include/norvat.h"
#include "interface/reason.h"
#include "interface/text.h"
#include "interface/version.h"

int NORVAT_CALL GetDllVersion(char *buffer)
{
    static const char kVersion[] = NORVAT_VERSION_TEXT;
    if (buffer == NULL)
        return Refuse(kReasonBadArgument);
    return (int)CopyText(buffer, sizeof kVersion, kVersion);
}

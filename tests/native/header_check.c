/* The public header compiles as strict C on its own (built with -Wall -Wextra -Werror
 * -pedantic); a prototype mismatch with these calls fails the build. */
#include "norvat.h"

int NorvatHeaderCheckC(char *buffer)
{
    return openport("1") + OpenUSB("COM3") + FindFirstUSB(buffer) + FindNextUSB(buffer) +
           closeport() + setbaudrate(9600) + sendbuf(buffer, 1) + sendcommand("~HS") +
           RcvBuf(buffer, 1) + GetDllVersion(buffer);
}

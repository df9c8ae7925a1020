/* PortSession and the module state. */
#include "interface/session.h"

/* Constant-initialised, so the values hold from the moment the image is mapped: the DLL has no
 * C runtime to run constructors. */
PortSession portSession = { NORVAT_NO_PORT, 10000, 1, kPortDevice };
unsigned short selectedPortNumber = 0;
char parsedSerial[kParsedSerialField] = { 0 };
uint32_t enumCursor = 0;

/* PortSession, the module state, and the entry point that tears the session down at unload. */
#include "interface/session.h"

/* Constant-initialised, so the values hold from the moment the image is mapped: there is no
 * C runtime here to run constructors. */
PortSession portSession = { NULL, 10000, NULL, 1 };
unsigned short selectedPortNumber = 0;
char parsedSerial[kParsedSerialField] = { 0 };
DWORD enumCursor = 0;

BOOL ClosePortHandle(void)
{
    BOOL closed = FALSE;
    /* Closing a NULL handle raises an exception under a debugger, so only close a real one. */
    if (portSession.portHandle != NULL)
        closed = CloseHandle(portSession.portHandle);
    portSession.portHandle = NULL;
    return closed;
}

/* The DLL's own entry point (linked with -e, no C runtime): static destructors would never
 * run, so the unload teardown of the session happens here, on process detach. */
extern "C" BOOL WINAPI NorvatDllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_DETACH)
        ClosePortHandle();
    return TRUE;
}

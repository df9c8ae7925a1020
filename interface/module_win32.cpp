/* The DLL's ties to Windows: its entry point, and the error codes it leaves for GetLastError(). */
#include "interface/reason.h"
#include "interface/session.h"

void SetReason(Reason reason)
{
    DWORD code = ERROR_SUCCESS;
    switch (reason) {
    case kReasonNone: code = ERROR_SUCCESS; break;
    case kReasonBadArgument: code = ERROR_INVALID_PARAMETER; break;
    case kReasonNoPort: code = ERROR_INVALID_HANDLE; break;
    case kReasonNoPrinter: code = ERROR_DEVICE_NOT_CONNECTED; break;
    case kReasonEndOfListing: code = ERROR_NO_MORE_ITEMS; break;
    case kReasonTimedOut: code = ERROR_TIMEOUT; break;
    case kReasonNoSerialLine: code = ERROR_NOT_SUPPORTED; break;
    }
    SetLastError(code);
}

/* The DLL's own entry point (linked with -e, no C runtime): static destructors would never run,
 * so the unload teardown of the session happens here, on process detach. It takes no lock: at
 * FreeLibrary no export may still be running, and at process exit the other threads are gone,
 * possibly while holding the lock. */
extern "C" BOOL WINAPI NorvatDllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_DETACH)
        ClosePortHandle();
    return TRUE;
}

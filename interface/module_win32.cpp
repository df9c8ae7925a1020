/* The DLL's ties to Windows: its entry point, the error codes it leaves for GetLastError(), and
 * their portable codes. */
#include "include/norvat.h"
#include "interface/ports.h"
#include "interface/reason.h"

void SetReason(Reason reason)
{
    DWORD code = ERROR_SUCCESS;
    switch (reason) {
    case kReasonNone: code = ERROR_SUCCESS; break;
    case kReasonBadArgument: code = NORVAT_E_INVALID_ARGUMENT; break;
    case kReasonNoPort: code = NORVAT_E_NO_PORT; break;
    case kReasonNoPrinter: code = NORVAT_E_NOT_CONNECTED; break;
    case kReasonEndOfListing: code = NORVAT_E_NO_MORE_ITEMS; break;
    case kReasonTimedOut: code = NORVAT_E_TIMEOUT; break;
    case kReasonNoSerialLine: code = ERROR_NOT_SUPPORTED; break;
    case kReasonBusy: code = ERROR_BUSY; break;
    case kReasonCancelled: code = ERROR_OPERATION_ABORTED; break;
    case kReasonNoRecords: code = ERROR_NOT_SUPPORTED; break;
    }
    SetLastError(code);
}

long PlatformError(void)
{
    return (long)GetLastError();
}

int PortableFailure(FailedStep step)
{
    const int missing = step == kFailedOpen ? NORVAT_ERR_NOT_FOUND : NORVAT_ERR_GONE;
    switch (GetLastError()) {
    case ERROR_INVALID_PARAMETER: case ERROR_INVALID_HANDLE: case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME: case ERROR_FILENAME_EXCED_RANGE:
        return NORVAT_ERR_ARGUMENT;
    case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST: case ERROR_BAD_NETPATH:
    case WSAECONNREFUSED: case WSAEHOSTUNREACH: case WSAENETUNREACH: case WSAEADDRNOTAVAIL:
        return missing;
    case WSAHOST_NOT_FOUND: case WSATRY_AGAIN: case WSANO_RECOVERY: case WSANO_DATA:
        return NORVAT_ERR_NOT_FOUND;
    case ERROR_SHARING_VIOLATION: case ERROR_BUSY: case ERROR_PIPE_BUSY:
        return NORVAT_ERR_BUSY;
    case ERROR_ACCESS_DENIED: case WSAEACCES:
        return NORVAT_ERR_ACCESS;
    case ERROR_TIMEOUT: case ERROR_SEM_TIMEOUT: case WSAETIMEDOUT:
        return NORVAT_ERR_TIMEOUT;
    case ERROR_NOT_SUPPORTED: case ERROR_INVALID_FUNCTION: case ERROR_CALL_NOT_IMPLEMENTED:
    case ERROR_PROC_NOT_FOUND: case ERROR_MOD_NOT_FOUND: case WSAEAFNOSUPPORT:
    case WSAEOPNOTSUPP:
        return NORVAT_ERR_UNSUPPORTED;
    case ERROR_BROKEN_PIPE: case ERROR_NO_DATA: case ERROR_PIPE_NOT_CONNECTED:
    case ERROR_BAD_COMMAND: case ERROR_GEN_FAILURE: case ERROR_NOT_READY:
    case ERROR_DEVICE_REMOVED: case ERROR_IO_DEVICE: case ERROR_NETNAME_DELETED:
    case WSAECONNRESET: case WSAECONNABORTED: case WSAENOTCONN: case WSAESHUTDOWN:
    case WSAENETDOWN: case WSAENETRESET: case WSAEHOSTDOWN:
        return NORVAT_ERR_GONE;
    case ERROR_OPERATION_ABORTED: case ERROR_CANCELLED:
        return NORVAT_ERR_CANCELLED;
    default:
        return NORVAT_ERR_SYSTEM;
    }
}

bool InitSession(PortSession *session)
{
    /* Auto-reset for writes, as the ten exports' "write_event"; manual-reset for reads, which
     * ReadFile resets as it starts. Unnamed: no other process can touch them. */
    session->writeEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    session->readEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (session->writeEvent != NULL && session->readEvent != NULL)
        return true;
    const DWORD reason = GetLastError();
    FinishSession(session);
    SetLastError(reason);
    return false;
}

void FinishSession(PortSession *session)
{
    if (session->writeEvent != NULL)
        CloseHandle(session->writeEvent);
    if (session->readEvent != NULL)
        CloseHandle(session->readEvent);
    session->writeEvent = NULL;
    session->readEvent = NULL;
}

/* The DLL's own entry point (linked with -e, no C runtime): static destructors would never run,
 * so the unload teardown happens here, on process detach. At FreeLibrary (reserved NULL) it
 * closes every port; it takes no lock, since no call may still be running then. At process exit
 * (reserved not NULL) it touches nothing: the other threads are gone, possibly inside a call,
 * ws2_32.dll may have been unloaded before us, and the system closes every handle anyway. */
extern "C" BOOL WINAPI NorvatDllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_DETACH && reserved == NULL)
        CloseEveryPort(true);
    return TRUE;
}

/* A host built against the release as a developer would: find_package(Norvat) or pkg-config,
 * then the header's functions. Checks what needs no device (the version, the reasons for a
 * missing port, a null argument and no open port); given a port, it also sends "~HS" there and
 * wants "READY" back. Prints one line per failed check and a count; exits with the failures. */
#include <stdio.h>
#include <string.h>

#include "norvat.h"

#ifdef _WIN32
#include <windows.h>
#define REASON() ((int)GetLastError())
#define NO_SUCH_PORT 2 /* ERROR_FILE_NOT_FOUND */
#else
#include <errno.h>
#define REASON() errno
#define NO_SUCH_PORT ENOENT
#endif

static int checks, failures;

static void expect(int ok, const char *what, int result, int reason)
{
    checks++;
    if (!ok) {
        failures++;
        printf("FAIL %s: result %d, reason %d\n", what, result, reason);
    }
}

int main(int argc, char **argv)
{
    char version[NORVAT_VERSION_BUFFER_SIZE];
    char answer[64];
    int r;

    r = GetDllVersion(version);
    expect(r == 15 && strcmp(version, "Ver1.2 2011/8/1") == 0, "GetDllVersion", r, REASON());
    r = OpenUSB("COM55");
    expect(r == 0 && REASON() == NO_SUCH_PORT, "OpenUSB(\"COM55\")", r, REASON());
    r = OpenUSB(NULL);
    expect(r == 0 && REASON() == NORVAT_E_INVALID_ARGUMENT, "OpenUSB(NULL)", r, REASON());
    r = sendcommand("~HS");
    expect(r == 0 && REASON() == NORVAT_E_NO_PORT, "sendcommand with no port", r, REASON());
    if (argc > 1) {
        r = OpenUSB(argv[1]);
        expect(r == 1, "OpenUSB(port)", r, REASON());
        r = sendcommand("~HS");
        expect(r == 1, "sendcommand(\"~HS\")", r, REASON());
        r = RcvBuf(answer, (int)sizeof answer - 1);
        expect(r == 7 && strcmp(answer, "READY\r\n") == 0, "RcvBuf", r, REASON());
        closeport();
    }
    printf("%s: %d checks, %d failed\n", version, checks, failures);
    return failures;
}

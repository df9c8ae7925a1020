/* The smallest host: link the import library, include the header, call the exports.
 * Usage: example_host [PORT-NUMBER]   e.g. example_host 1   (COM1) */
#include <stdio.h>

#include "norvat.h"

int main(int argc, char **argv)
{
    char version[NORVAT_VERSION_BUFFER_SIZE];
    char answer[256];
    int n;

    GetDllVersion(version);
    printf("Norvat %s\n", version);
    if (argc < 2)
        return 0;

    if (openport(argv[1]) != 1) {
        fprintf(stderr, "cannot open port %s\n", argv[1]);
        return 1;
    }
    if (sendcommand("~HS") != 1) {
        fprintf(stderr, "the device did not take the command\n");
        closeport();
        return 1;
    }
    n = RcvBuf(answer, (int)sizeof answer - 1); /* waits at most about 450 ms */
    printf("answer (%d bytes): %s\n", n, n > 0 ? answer : "");
    closeport();
    return n > 0 ? 0 : 1;
}

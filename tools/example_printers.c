/* Several printers at once, each through a handle of its own: every port is listed, the ones
 * named on the command line are opened, each gets a job from a thread of its own, and each says
 * whether it is ready to print. What each call returns is in norvat.h.
 * Usage: example_printers [PORT...]   e.g. example_printers COM1 "Receipt printer#RCPT0001" */
#include <stdio.h>

#include "norvat.h"

#ifdef _WIN32
#include <windows.h>
typedef HANDLE thread_t;
#define THREAD_RESULT DWORD WINAPI
#define START(t, fn, arg) ((t) = CreateThread(NULL, 0, fn, arg, 0, NULL), (t) != NULL)
#define JOIN(t) (WaitForSingleObject(t, INFINITE), CloseHandle(t))
#else
#include <pthread.h>
typedef pthread_t thread_t;
#define THREAD_RESULT void *
#define START(t, fn, arg) (pthread_create(&(t), NULL, fn, arg) == 0)
#define JOIN(t) pthread_join(t, NULL)
#endif

enum { kMostPrinters = 8 };

struct printer {
    const char *name;
    norvat_port *port;
    int written;
};

static THREAD_RESULT print_job(void *arg)
{
    static const char job[] = "\x1b@Norvat says hello\r\n\x1dV\x01"; /* reset, a line, cut */
    struct printer *p = (struct printer *)arg;
    p->written = norvat_write(p->port, job, (int)sizeof job - 1, NORVAT_TIMEOUT_DEFAULT);
    return 0;
}

int main(int argc, char **argv)
{
    struct printer printers[kMostPrinters];
    thread_t threads[kMostPrinters];
    norvat_port_list *list = NULL;
    int count = norvat_list_ports(&list);
    int i, opened = 0, failed = 0;

    for (i = 0; i < count; i++)
        printf("%-8s %s  %s %s %s\n", norvat_port_list_get(list, i, NORVAT_FIELD_KIND),
               norvat_port_list_get(list, i, NORVAT_FIELD_NAME),
               norvat_port_list_get(list, i, NORVAT_FIELD_MANUFACTURER),
               norvat_port_list_get(list, i, NORVAT_FIELD_MODEL),
               norvat_port_list_get(list, i, NORVAT_FIELD_COMMAND_SET));
    norvat_free_port_list(list);

    for (i = 1; i < argc && opened < kMostPrinters; i++) {
        struct printer *p = &printers[opened];
        int result = norvat_open(argv[i], &p->port);
        if (result != 0) {
            fprintf(stderr, "%s: %s\n", argv[i], norvat_error_text(result));
            failed = 1;
            continue;
        }
        p->name = argv[i];
        opened++;
    }
    /* Each port has its own lock: the jobs run at the same time, none waits for another. */
    for (i = 0; i < opened; i++)
        if (!START(threads[i], print_job, &printers[i]))
            print_job(&printers[i]), threads[i] = 0;
    for (i = 0; i < opened; i++) {
        unsigned state = 0, known = 0;
        int result;
        if (threads[i])
            JOIN(threads[i]);
        result = norvat_status(printers[i].port, &state, &known);
        printf("%s: %d bytes out, %s\n", printers[i].name, printers[i].written,
               result != 0                             ? norvat_error_text(result)
               : (state & NORVAT_STATE_NOT_READY) != 0 ? "not ready"
               : (known & NORVAT_STATE_NOT_READY) == 0 ? "state not known"
                                                       : "ready as far as it says");
        failed |= printers[i].written < 0 || result != 0;
        norvat_close(printers[i].port);
    }
    return failed;
}

/* The test bed's driver: simulated USB printers, serial ports and parallel ports whose state the
 * Windows tests set through the control device \\.\NorvatPrnCtl (requests in testprn_ioctl.h).
 * A program, the library included, opens a device by its link and talks to it as to real
 * hardware: writes are recorded, reads are served from answers the test queues or scripts, and
 * each kind answers its class's requests. Loaded by scripts/testbed.sh into the test prefix.
 *
 * Under Wine, every dispatch and cancel routine runs on one thread of winedevice.exe, and timer
 * DPCs on others: nothing here blocks, every slot's state is under one spin lock, and IRPs are
 * completed only after it is released. */
#include <ntddk.h>
#include <ntddpar.h>
#include <ntddser.h>
#include <usbprint.h>

#include "testprn_ioctl.h"

#define DEFAULT_GONE_STATUS STATUS_UNSUCCESSFUL
#define DELAYED_MAX 16 /* scripted answers waiting for their delay, per device */
#define POOL_TAG 0x4E747270u /* "prtN" */

typedef struct Rule {
    ULONG patternLength, answerLength, delayMs;
    UCHAR pattern[TESTPRN_PATTERN_MAX];
    UCHAR answer[TESTPRN_ANSWER_MAX];
} Rule;

typedef struct Serial { /* what kernel32's serial calls set and read back */
    SERIAL_BAUD_RATE baud;
    SERIAL_LINE_CONTROL line;
    SERIAL_HANDFLOW flow;
    SERIAL_CHARS chars;
    SERIAL_TIMEOUTS timeouts;
    ULONG waitMask, modem;
} Serial;

/* 9600 baud, 8N1, DTR and RTS on, XON/XOFF characters, no timeouts, CTS and DSR on. */
static const Serial serialDefaults = {
    {9600}, {0, 0, 8}, {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0}, {0, 0, 0, 0, 0x11, 0x13},
    {0, 0, 0, 0, 0}, 0, 0x30};

struct Slot;
typedef struct Delayed { /* one scripted answer waiting for its timer */
    KTIMER timer;
    KDPC dpc;
    struct Slot *slot;
    ULONG rule, epoch;
    BOOLEAN armed;
} Delayed;

typedef struct Slot {
    DEVICE_OBJECT *device; /* made at the first plug, kept until unload */
    BOOLEAN plugged;
    ULONG kind, generation, opens;
    NTSTATUS gone; /* what IRPs of an unplugged device, or of an earlier plug, end with */
    WCHAR linkText[TESTPRN_LINK_MAX + 5];
    UNICODE_STRING link;
    LIST_ENTRY writes, reads; /* pending IRPs, oldest first */
    ULONG allowance;          /* bytes writes may still hand over before they pend */
    UCHAR *kept; /* TESTPRN_KEPT_MAX bytes, from the first write on */
    ULONG keptLength, received;
    UCHAR queue[TESTPRN_QUEUE_MAX];
    ULONG queued;
    Rule rules[TESTPRN_RULES];
    ULONG ruleCount, epoch; /* a reset voids the delayed answers of earlier epochs */
    Delayed delayed[DELAYED_MAX];
    UCHAR lptStatus, parallelStatus;
    ULONG idLength;
    UCHAR id[TESTPRN_DATA_MAX];
    Serial serial;
} Slot;

static Slot slots[TESTPRN_SLOTS];
static KSPIN_LOCK lock;
static DEVICE_OBJECT *control;
static UNICODE_STRING controlLink = RTL_CONSTANT_STRING(L"\\??\\" TESTPRN_CONTROL_NAME);

/* The slot of a device object, or NULL for the control device. */
static Slot *SlotOf(DEVICE_OBJECT *device)
{
    return device == control ? NULL : *(Slot **)device->DeviceExtension;
}

static IRP *Head(LIST_ENTRY *list)
{
    return CONTAINING_RECORD(list->Flink, IRP, Tail.Overlay.ListEntry);
}

static void CompleteAll(LIST_ENTRY *done)
{
    while (!IsListEmpty(done)) {
        LIST_ENTRY *entry = RemoveHeadList(done);
        IoCompleteRequest(CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry), IO_NO_INCREMENT);
    }
}

static NTSTATUS Finish(IRP *irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* Ends a pending IRP: unlinks it and, unless its cancel routine already runs (and completes it
 * with STATUS_CANCELLED), moves it to done with status. Under the lock. */
static void Detach(IRP *irp, NTSTATUS status, LIST_ENTRY *done)
{
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry); /* the cancel routine unlinks it again */
    if (IoSetCancelRoutine(irp, NULL) == NULL)
        return;
    irp->IoStatus.Status = status;
    InsertTailList(done, &irp->Tail.Overlay.ListEntry);
}

/* Information holds what a write took or a read was given so far: the count the program sees. */
static VOID CancelPending(DEVICE_OBJECT *device, IRP *irp)
{
    KIRQL irql;
    UNREFERENCED_PARAMETER(device);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&lock, irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

/* Queues irp on list with a cancel routine, so CancelIoEx ends it at once. Under the lock. */
static NTSTATUS Pend(LIST_ENTRY *list, IRP *irp)
{
    IoSetCancelRoutine(irp, CancelPending);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL)
        return STATUS_CANCELLED;
    IoMarkIrpPending(irp);
    InsertTailList(list, &irp->Tail.Overlay.ListEntry);
    return STATUS_PENDING;
}

/* Ends the IRPs pending on list for one handle (file), or all of them (file NULL). */
static void EndPending(LIST_ENTRY *list, FILE_OBJECT *file, NTSTATUS status, LIST_ENTRY *done)
{
    for (LIST_ENTRY *entry = list->Flink, *next; entry != list; entry = next) {
        IRP *irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        next = entry->Flink;
        if (file == NULL || IoGetCurrentIrpStackLocation(irp)->FileObject == file)
            Detach(irp, status, done);
    }
}

static void Enqueue(Slot *s, const UCHAR *bytes, ULONG length)
{
    if (length > TESTPRN_QUEUE_MAX - s->queued)
        length = TESTPRN_QUEUE_MAX - s->queued; /* an overrun, as on a real line */
    RtlCopyMemory(s->queue + s->queued, bytes, length);
    s->queued += length;
}

/* Gives a read what the answer queue holds, up to its length. Under the lock. */
static void Give(Slot *s, IRP *irp)
{
    ULONG n = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    if (n > s->queued)
        n = s->queued;
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, s->queue, n);
    RtlMoveMemory(s->queue, s->queue + n, s->queued - n);
    s->queued -= n;
    irp->IoStatus.Information = n;
}

/* Hands queued answer bytes to pending reads, oldest first. Under the lock. Afterwards either
 * no read pends or the queue is empty. */
static void ServeReads(Slot *s, LIST_ENTRY *done)
{
    while (s->queued > 0 && !IsListEmpty(&s->reads)) {
        Give(s, Head(&s->reads));
        Detach(Head(&s->reads), STATUS_SUCCESS, done);
    }
}

static VOID DeliverDelayed(KDPC *dpc, PVOID context, PVOID unused1, PVOID unused2)
{
    Delayed *d = context;
    Slot *s = d->slot;
    LIST_ENTRY done;
    KIRQL irql;
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(unused1);
    UNREFERENCED_PARAMETER(unused2);
    InitializeListHead(&done);
    KeAcquireSpinLock(&lock, &irql);
    if (d->armed && d->epoch == s->epoch) {
        Enqueue(s, s->rules[d->rule].answer, s->rules[d->rule].answerLength);
        ServeReads(s, &done);
    }
    d->armed = FALSE;
    KeReleaseSpinLock(&lock, irql);
    CompleteAll(&done);
}

static void Answer(Slot *s, ULONG rule)
{
    Rule *r = &s->rules[rule];
    if (r->delayMs == 0) {
        Enqueue(s, r->answer, r->answerLength);
        return;
    }
    for (int i = 0; i < DELAYED_MAX; i++) {
        Delayed *d = &s->delayed[i];
        if (!d->armed) {
            LARGE_INTEGER due;
            due.QuadPart = -10000LL * r->delayMs; /* relative, in 100 ns */
            d->armed = TRUE;
            d->rule = rule;
            d->epoch = s->epoch;
            KeSetTimer(&d->timer, due, &d->dpc);
            return;
        }
    }
    DbgPrint("norvat_testprn: more than %d delayed answers at once; one is dropped\n", DELAYED_MAX);
}

/* Records written bytes and answers each pattern they complete. Under the lock. */
static void Record(Slot *s, const UCHAR *bytes, ULONG length)
{
    ULONG from = s->keptLength;
    s->received += length;
    if (s->kept == NULL) /* the pages are taken as they are written */
        s->kept = ExAllocatePoolWithTag(NonPagedPool, TESTPRN_KEPT_MAX, POOL_TAG);
    if (s->kept == NULL || length > TESTPRN_KEPT_MAX - s->keptLength)
        length = s->kept == NULL ? 0 : TESTPRN_KEPT_MAX - s->keptLength; /* counted, not kept */
    RtlCopyMemory(s->kept + s->keptLength, bytes, length);
    s->keptLength += length;

    for (ULONG r = 0; r < s->ruleCount; r++) {
        ULONG n = s->rules[r].patternLength;
        ULONG at = from >= n - 1 ? from - (n - 1) : 0; /* a pattern may span two writes */
        for (; at + n <= s->keptLength; at++)
            if (RtlCompareMemory(s->kept + at, s->rules[r].pattern, n) == n)
                Answer(s, r);
    }
}

/* Takes what the allowance lets through of a write; TRUE when all of it is taken. */
static BOOLEAN Take(Slot *s, IRP *irp)
{
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    ULONG taken = (ULONG)irp->IoStatus.Information;
    ULONG n = length - taken < s->allowance ? length - taken : s->allowance;
    Record(s, (UCHAR *)irp->AssociatedIrp.SystemBuffer + taken, n);
    if (s->allowance != TESTPRN_TAKE_ALL)
        s->allowance -= n;
    irp->IoStatus.Information = taken + n;
    return taken + n == length;
}

/* Hands the bytes of pending writes over while the allowance lasts. Under the lock. */
static void ServeWrites(Slot *s, LIST_ENTRY *done)
{
    while (!IsListEmpty(&s->writes) && Take(s, Head(&s->writes)))
        Detach(Head(&s->writes), STATUS_SUCCESS, done);
}

/* A read or write: done at once when the device can (STATUS_SUCCESS, the caller completes it),
 * pending otherwise. Under the lock. */
static NTSTATUS Transfer(Slot *s, IRP *irp, BOOLEAN write, LIST_ENTRY *done)
{
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    /* A serial port with "return at once" read timeouts answers an empty queue with nothing. */
    BOOLEAN readsAtOnce = s->kind == TESTPRN_SERIAL_PORT &&
                          s->serial.timeouts.ReadIntervalTimeout == MAXULONG &&
                          s->serial.timeouts.ReadTotalTimeoutMultiplier == 0 &&
                          s->serial.timeouts.ReadTotalTimeoutConstant == 0;
    NTSTATUS status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    if (write && !(IsListEmpty(&s->writes) && Take(s, irp)))
        status = Pend(&s->writes, irp);
    else if (!write && s->queued == 0 && length > 0 && !readsAtOnce)
        status = Pend(&s->reads, irp);
    else if (!write)
        Give(s, irp);
    ServeReads(s, done); /* the bytes taken may have matched a rule */
    return status;
}

static NTSTATUS Put(IRP *irp, ULONG room, const void *value, ULONG size)
{
    if (room < size)
        return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, value, size);
    irp->IoStatus.Information = size;
    return STATUS_SUCCESS;
}

static NTSTATUS Keep(void *field, ULONG size, IRP *irp, ULONG length)
{
    if (length < size)
        return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(field, irp->AssociatedIrp.SystemBuffer, size);
    return STATUS_SUCCESS;
}

/* The class requests of each kind of device; all complete at once (kernel32's serial calls
 * send them without an OVERLAPPED and take a pending one for a failure). Under the lock. */
static NTSTATUS DeviceRequest(Slot *s, IRP *irp, LIST_ENTRY *done)
{
    IO_STACK_LOCATION *sp = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR *buffer = irp->AssociatedIrp.SystemBuffer;

    if (s->kind == TESTPRN_USB_PRINTER && code == IOCTL_USBPRINT_GET_LPT_STATUS)
        return Put(irp, out, &s->lptStatus, 1);
    if (s->kind == TESTPRN_USB_PRINTER && code == IOCTL_USBPRINT_GET_1284_ID) {
        /* Two bytes of big-endian length, those two included, then the text; never cut. */
        if (out < s->idLength + 2)
            return STATUS_BUFFER_TOO_SMALL;
        buffer[0] = (UCHAR)((s->idLength + 2) >> 8);
        buffer[1] = (UCHAR)(s->idLength + 2);
        RtlCopyMemory(buffer + 2, s->id, s->idLength);
        irp->IoStatus.Information = s->idLength + 2;
        return STATUS_SUCCESS;
    }
    if (s->kind == TESTPRN_PARALLEL_PORT && code == IOCTL_PAR_QUERY_INFORMATION)
        return Put(irp, out, &s->parallelStatus, sizeof(PAR_QUERY_INFORMATION));
    if (s->kind != TESTPRN_SERIAL_PORT)
        return STATUS_INVALID_DEVICE_REQUEST;

/* A setting kernel32 sets with one request and reads back with another. */
#define SETTING(set, get, field)                                                  \
    case set: return Keep(&s->serial.field, sizeof s->serial.field, irp, in); \
    case get: return Put(irp, out, &s->serial.field, sizeof s->serial.field)

    switch (code) {
    SETTING(IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, baud);
    SETTING(IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_GET_LINE_CONTROL, line);
    SETTING(IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_GET_HANDFLOW, flow);
    SETTING(IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_GET_CHARS, chars);
    SETTING(IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS, timeouts);
    SETTING(IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_GET_WAIT_MASK, waitMask);
    case IOCTL_SERIAL_GET_MODEMSTATUS: return Put(irp, out, &s->serial.modem, sizeof(ULONG));
    case IOCTL_SERIAL_GET_COMMSTATUS: { /* ClearCommError: no line errors, the bytes to read */
        SERIAL_STATUS status = {0};
        status.AmountInInQueue = s->queued;
        return Put(irp, out, &status, sizeof status);
    }
    case IOCTL_SERIAL_PURGE: {
        ULONG flags;
        if (Keep(&flags, sizeof flags, irp, in) != STATUS_SUCCESS)
            return STATUS_BUFFER_TOO_SMALL;
        if (flags & SERIAL_PURGE_RXCLEAR)
            s->queued = 0;
        if (flags & SERIAL_PURGE_TXABORT)
            EndPending(&s->writes, NULL, STATUS_CANCELLED, done);
        if (flags & SERIAL_PURGE_RXABORT)
            EndPending(&s->reads, NULL, STATUS_CANCELLED, done);
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_SET_DTR: case IOCTL_SERIAL_CLR_DTR: case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS: case IOCTL_SERIAL_SET_XON: case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_BREAK_ON: case IOCTL_SERIAL_SET_BREAK_OFF:
    case IOCTL_SERIAL_SET_QUEUE_SIZE: case IOCTL_SERIAL_RESET_DEVICE:
        return STATUS_SUCCESS;
    default:
        DbgPrint("norvat_testprn: serial request %#lx not simulated\n", code);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

static void Reset(Slot *s)
{
    LIST_ENTRY done;
    KIRQL irql;
    InitializeListHead(&done);
    /* Outside the lock: Wine may wait here for a DPC that waits for the lock. */
    for (int i = 0; i < DELAYED_MAX; i++)
        KeCancelTimer(&s->delayed[i].timer);
    KeAcquireSpinLock(&lock, &irql);
    for (int i = 0; i < DELAYED_MAX; i++)
        s->delayed[i].armed = FALSE;
    s->epoch++;
    s->allowance = TESTPRN_TAKE_ALL;
    s->keptLength = s->received = s->queued = s->ruleCount = s->idLength = 0;
    s->lptStatus = 0x18;
    s->parallelStatus = PARALLEL_SELECTED;
    s->serial = serialDefaults;
    ServeWrites(s, &done);
    KeReleaseSpinLock(&lock, irql);
    CompleteAll(&done);
}

static NTSTATUS Unplug(Slot *s, NTSTATUS gone)
{
    LIST_ENTRY done;
    KIRQL irql;
    if (!s->plugged)
        return STATUS_SUCCESS;
    InitializeListHead(&done);
    KeAcquireSpinLock(&lock, &irql);
    s->plugged = FALSE;
    s->gone = gone != 0 ? gone : DEFAULT_GONE_STATUS;
    EndPending(&s->writes, NULL, s->gone, &done);
    EndPending(&s->reads, NULL, s->gone, &done);
    KeReleaseSpinLock(&lock, irql);
    IoDeleteSymbolicLink(&s->link);
    CompleteAll(&done);
    return STATUS_SUCCESS;
}

static NTSTATUS Plug(Slot *s, const TestPrnRequest *rq)
{
    WCHAR nameText[] = L"\\Device\\NorvatPrn0"; /* the slot's number replaces the 0 */
    UNICODE_STRING name;
    NTSTATUS status;
    KIRQL irql;
    if (s->plugged)
        return STATUS_DEVICE_BUSY;
    if (rq->value > TESTPRN_PARALLEL_PORT || rq->length == 0 || rq->length > TESTPRN_LINK_MAX)
        return STATUS_INVALID_PARAMETER;
    nameText[ARRAYSIZE(nameText) - 2] += (WCHAR)(s - slots);
    RtlInitUnicodeString(&name, nameText);
    if (s->device == NULL) {
        status = IoCreateDevice(control->DriverObject, sizeof(Slot *), &name, FILE_DEVICE_UNKNOWN,
                                0, FALSE, &s->device);
        if (!NT_SUCCESS(status))
            return status;
        *(Slot **)s->device->DeviceExtension = s;
        s->device->Flags |= DO_BUFFERED_IO;
        s->device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    RtlCopyMemory(s->linkText, L"\\??\\", 4 * sizeof(WCHAR));
    for (ULONG i = 0; i < rq->length; i++)
        s->linkText[4 + i] = rq->data[i];
    s->linkText[4 + rq->length] = 0;
    RtlInitUnicodeString(&s->link, s->linkText);
    status = IoCreateSymbolicLink(&s->link, &name);
    if (!NT_SUCCESS(status))
        return status;
    KeAcquireSpinLock(&lock, &irql);
    s->kind = rq->value;
    s->generation++;
    s->plugged = TRUE;
    KeReleaseSpinLock(&lock, irql);
    return STATUS_SUCCESS;
}

/* The test's requests on the control device. */
static NTSTATUS ControlRequest(IRP *irp, LIST_ENTRY *done)
{
    IO_STACK_LOCATION *sp = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
    TestPrnRequest *rq = irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_SUCCESS;
    Slot *s;
    KIRQL irql;

    if (in < TESTPRN_REQUEST_HEAD || rq->slot >= TESTPRN_SLOTS || rq->length > TESTPRN_DATA_MAX ||
        rq->length > in - TESTPRN_REQUEST_HEAD)
        return STATUS_INVALID_PARAMETER;
    s = &slots[rq->slot];
    switch (code) {
    case TESTPRN_PLUG: return Plug(s, rq);
    case TESTPRN_UNPLUG: return Unplug(s, (NTSTATUS)rq->value);
    case TESTPRN_RESET: Reset(s); return STATUS_SUCCESS;
    }

    KeAcquireSpinLock(&lock, &irql);
    switch (code) {
    case TESTPRN_GET_INFO: {
        TestPrnInfo info = {0};
        info.plugged = s->plugged;
        info.kind = s->kind;
        info.opens = s->opens;
        info.received = s->received;
        info.kept = s->keptLength;
        info.queued = s->queued;
        for (LIST_ENTRY *e = s->writes.Flink; e != &s->writes; e = e->Flink)
            info.pendingWrites++;
        for (LIST_ENTRY *e = s->reads.Flink; e != &s->reads; e = e->Flink)
            info.pendingReads++;
        info.baudRate = s->serial.baud.BaudRate;
        status = Put(irp, out, &info, sizeof info);
        break;
    }
    case TESTPRN_GET_RECEIVED: {
        ULONG from = rq->value < s->keptLength ? rq->value : s->keptLength;
        ULONG n = s->keptLength - from < out ? s->keptLength - from : out;
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, s->kept + from, n);
        irp->IoStatus.Information = n;
        break;
    }
    case TESTPRN_SET_WRITE_LIMIT:
        s->allowance = rq->value;
        ServeWrites(s, done);
        ServeReads(s, done); /* the bytes taken may have matched a rule */
        break;
    case TESTPRN_QUEUE_ANSWER:
        if (rq->length > TESTPRN_QUEUE_MAX - s->queued) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        Enqueue(s, rq->data, rq->length);
        ServeReads(s, done);
        break;
    case TESTPRN_ANSWER_WHEN: {
        Rule *r = &s->rules[s->ruleCount];
        if (rq->split == 0 || rq->split > TESTPRN_PATTERN_MAX || rq->split > rq->length ||
            rq->length - rq->split > TESTPRN_ANSWER_MAX || s->ruleCount == TESTPRN_RULES) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        r->patternLength = rq->split;
        r->answerLength = rq->length - rq->split;
        r->delayMs = rq->value;
        RtlCopyMemory(r->pattern, rq->data, rq->split);
        RtlCopyMemory(r->answer, rq->data + rq->split, r->answerLength);
        s->ruleCount++;
        break;
    }
    case TESTPRN_SET_LPT_STATUS: s->lptStatus = (UCHAR)rq->value; break;
    case TESTPRN_SET_DEVICE_ID:
        RtlCopyMemory(s->id, rq->data, rq->length);
        s->idLength = rq->length;
        break;
    case TESTPRN_SET_MODEM: s->serial.modem = rq->value; break;
    case TESTPRN_SET_PARALLEL: s->parallelStatus = (UCHAR)rq->value; break;
    default: status = STATUS_INVALID_DEVICE_REQUEST; break;
    }
    KeReleaseSpinLock(&lock, irql);
    return status;
}

static NTSTATUS Dispatch(DEVICE_OBJECT *device, IRP *irp)
{
    IO_STACK_LOCATION *sp = IoGetCurrentIrpStackLocation(irp);
    Slot *s = SlotOf(device);
    LIST_ENTRY done;
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;

    InitializeListHead(&done);
    irp->IoStatus.Information = 0;
    if (s == NULL) {
        if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL)
            status = ControlRequest(irp, &done);
        else if (sp->MajorFunction != IRP_MJ_CREATE && sp->MajorFunction != IRP_MJ_CLOSE &&
                 sp->MajorFunction != IRP_MJ_CLEANUP)
            status = STATUS_INVALID_DEVICE_REQUEST;
        CompleteAll(&done);
        return Finish(irp, status, irp->IoStatus.Information);
    }

    KeAcquireSpinLock(&lock, &irql);
    switch (sp->MajorFunction) {
    case IRP_MJ_CREATE:
        if (!s->plugged) {
            status = STATUS_NO_SUCH_DEVICE;
            break;
        }
        sp->FileObject->FsContext = (void *)(ULONG_PTR)s->generation;
        s->opens++;
        break;
    /* Wine sends no IRP_MJ_CLEANUP, only IRP_MJ_CLOSE, even with requests of that handle still
     * pending: they end here. */
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        EndPending(&s->writes, sp->FileObject, STATUS_CANCELLED, &done);
        EndPending(&s->reads, sp->FileObject, STATUS_CANCELLED, &done);
        if (sp->MajorFunction == IRP_MJ_CLOSE)
            s->opens--;
        break;
    default:
        /* A handle of an unplugged device, or of an earlier plug, stays dead. */
        if (!s->plugged || (ULONG_PTR)sp->FileObject->FsContext != s->generation) {
            status = s->gone;
            break;
        }
        if (sp->MajorFunction == IRP_MJ_WRITE || sp->MajorFunction == IRP_MJ_READ) {
            status = Transfer(s, irp, sp->MajorFunction == IRP_MJ_WRITE, &done);
            KeReleaseSpinLock(&lock, irql);
            CompleteAll(&done);
            if (status != STATUS_PENDING)
                Finish(irp, status, irp->IoStatus.Information);
            return status;
        }
        if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL)
            status = DeviceRequest(s, irp, &done);
        else if (sp->MajorFunction != IRP_MJ_FLUSH_BUFFERS)
            status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    KeReleaseSpinLock(&lock, irql);
    CompleteAll(&done);
    return Finish(irp, status, irp->IoStatus.Information);
}

static VOID Unload(DRIVER_OBJECT *driver)
{
    UNREFERENCED_PARAMETER(driver);
    for (int i = 0; i < TESTPRN_SLOTS; i++) {
        Slot *s = &slots[i];
        Reset(s);
        Unplug(s, 0);
        if (s->device != NULL)
            IoDeleteDevice(s->device);
        if (s->kept != NULL)
            ExFreePoolWithTag(s->kept, POOL_TAG);
    }
    IoDeleteSymbolicLink(&controlLink);
    IoDeleteDevice(control);
}

NTSTATUS DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registryPath)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\" TESTPRN_CONTROL_NAME);
    NTSTATUS status;
    UNREFERENCED_PARAMETER(registryPath);

    KeInitializeSpinLock(&lock);
    for (int i = 0; i < TESTPRN_SLOTS; i++) {
        Slot *s = &slots[i];
        InitializeListHead(&s->writes);
        InitializeListHead(&s->reads);
        s->gone = DEFAULT_GONE_STATUS;
        for (int j = 0; j < DELAYED_MAX; j++) {
            s->delayed[j].slot = s;
            KeInitializeTimer(&s->delayed[j].timer);
            KeInitializeDpc(&s->delayed[j].dpc, DeliverDelayed, &s->delayed[j]);
        }
        Reset(s);
    }
    status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &control);
    if (!NT_SUCCESS(status))
        return status;
    status = IoCreateSymbolicLink(&controlLink, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(control);
        return status;
    }
    control->Flags |= DO_BUFFERED_IO;
    control->Flags &= ~DO_DEVICE_INITIALIZING;
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++)
        driver->MajorFunction[major] = Dispatch;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

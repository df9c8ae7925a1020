/* The private requests of the test bed's driver (norvat_testprn.c), shared by the driver and the
 * tests' harness (tests/win/driver_printer.h). Each request goes to the control device
 * \\.\NorvatPrnCtl as one TestPrnRequest (METHOD_BUFFERED) and names a slot: one simulated
 * device, plugged under a link of the test's choosing.
 *
 * Codes a program sees on a slot's handle:
 *   - opening an unplugged link: ERROR_FILE_NOT_FOUND (2), the link is gone;
 *   - a request pending at the unplug, or sent later on a handle opened before it: the status
 *     given to TESTPRN_UNPLUG, by default STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE (31), what a USB
 *     device removed mid-request commonly reports; STATUS_DEVICE_NOT_CONNECTED gives 1167;
 *   - a pending read or write ended by CancelIo/CancelIoEx, or by closing its handle:
 *     ERROR_OPERATION_ABORTED (995), with the bytes a write had taken (or a read had been given)
 *     as the transferred count;
 *   - a request the device's kind does not know: ERROR_INVALID_FUNCTION (1). */
#ifndef NORVAT_TESTPRN_IOCTL_H
#define NORVAT_TESTPRN_IOCTL_H

/* The control device's name under \Device and \??. */
#define TESTPRN_CONTROL_NAME "NorvatPrnCtl"

#define TESTPRN_DEVICE_TYPE 0x8A7E /* vendor range: ntdll passes it to the driver untouched */
#define TESTPRN_CODE(n) CTL_CODE(TESTPRN_DEVICE_TYPE, 0x900 + (n), METHOD_BUFFERED, FILE_ANY_ACCESS)

/* Requests; "value", "split" and "data" are the TestPrnRequest fields each one reads. */
#define TESTPRN_PLUG TESTPRN_CODE(0)     /* value: kind; data: link, e.g. "COM20" or "USB#..." */
#define TESTPRN_UNPLUG TESTPRN_CODE(1)   /* value: NTSTATUS for its IRPs, 0 for the default */
#define TESTPRN_RESET TESTPRN_CODE(2)    /* the device's state back to the defaults below */
#define TESTPRN_GET_INFO TESTPRN_CODE(3) /* answers a TestPrnInfo */
#define TESTPRN_GET_RECEIVED TESTPRN_CODE(4)  /* value: offset; answers the kept bytes from it */
#define TESTPRN_SET_WRITE_LIMIT TESTPRN_CODE(5) /* value: bytes still taken, then writes pend */
#define TESTPRN_QUEUE_ANSWER TESTPRN_CODE(6)  /* data: bytes for reads, in order */
#define TESTPRN_ANSWER_WHEN TESTPRN_CODE(7)   /* data: pattern (split bytes), then the answer;
                                                 value: delay in ms */
#define TESTPRN_SET_LPT_STATUS TESTPRN_CODE(8) /* value: IOCTL_USBPRINT_GET_LPT_STATUS's byte */
#define TESTPRN_SET_DEVICE_ID TESTPRN_CODE(9)  /* data: IOCTL_USBPRINT_GET_1284_ID's text */
#define TESTPRN_SET_MODEM TESTPRN_CODE(10)     /* value: MS_CTS_ON, MS_DSR_ON, MS_RLSD_ON ... */
#define TESTPRN_SET_PARALLEL TESTPRN_CODE(11)  /* value: PARALLEL_* status bits */

/* Kinds of device (TESTPRN_PLUG's value). */
#define TESTPRN_USB_PRINTER 0
#define TESTPRN_SERIAL_PORT 1
#define TESTPRN_PARALLEL_PORT 2

#define TESTPRN_SLOTS 8
#define TESTPRN_DATA_MAX 1024   /* data bytes in one request */
#define TESTPRN_LINK_MAX 200    /* characters of a link */
#define TESTPRN_PATTERN_MAX 32  /* bytes a rule looks for */
#define TESTPRN_ANSWER_MAX 128  /* bytes a rule answers */
#define TESTPRN_RULES 8         /* rules per device */
#define TESTPRN_QUEUE_MAX 8192  /* answer bytes waiting for reads */
#define TESTPRN_KEPT_MAX (16u << 20) /* written bytes kept; later ones are counted only */
#define TESTPRN_TAKE_ALL 0xFFFFFFFFu /* TESTPRN_SET_WRITE_LIMIT: no limit */

/* Defaults after TESTPRN_RESET: writes taken at once, nothing queued, no rules, status byte 0x18
 * (no error, selected), empty device ID, modem bits 0x30 (CTS and DSR on), parallel status
 * PARALLEL_SELECTED, 9600 baud, 8 data bits, no parity, one stop bit. */

typedef struct TestPrnRequest {
    ULONG slot;
    ULONG value;
    ULONG split;  /* TESTPRN_ANSWER_WHEN: bytes of data that are the pattern */
    ULONG length; /* bytes of data used */
    UCHAR data[TESTPRN_DATA_MAX];
} TestPrnRequest;

/* The least a request's input holds: everything before data. */
#define TESTPRN_REQUEST_HEAD FIELD_OFFSET(TestPrnRequest, data)

typedef struct TestPrnInfo {
    ULONG plugged;
    ULONG kind;
    ULONG opens;         /* handles open on the device now, from this plug or earlier ones */
    ULONG received;      /* bytes written to it since the reset */
    ULONG kept;          /* of those, the ones TESTPRN_GET_RECEIVED gives */
    ULONG queued;        /* answer bytes waiting for reads */
    ULONG pendingWrites;
    ULONG pendingReads;
    ULONG baudRate;      /* the last one set */
} TestPrnInfo;

#endif

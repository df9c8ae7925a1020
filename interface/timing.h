/* Every timing constant of the library, in one place, for both platforms. */
#ifndef NORVAT_TIMING_H
#define NORVAT_TIMING_H

/* A write the device does not take is waited for this long, and looked at once more this
 * long later: the write bound of about 20 s (PortSession.writeTimeoutMs starts here). */
static const int kWriteWaitMs = 10000;

/* A read waits for bytes in 30 looks 15 ms apart: about 450 ms, the ten functions' window
 * and what a handle's read waits by default. */
static const int kReadPollMs = 15;
static const int kReadPolls = 30;
static const int kReadWindowMs = kReadPolls * kReadPollMs;

/* Serial line timeouts (Windows hands them to the driver, Linux keeps them itself): a read
 * ends 200 ms after its last byte, or 200 ms plus 100 ms per byte asked for after it began; a
 * write is given up 200 ms plus 100 ms per byte after it began, and what the line had not
 * sent by then never goes out. */
static const int kSerialReadIntervalMs = 200;
static const int kSerialReadPerByteMs = 100;
static const int kSerialReadConstantMs = 200;
static const int kSerialWritePerByteMs = 100;
static const int kSerialWriteConstantMs = 200;

/* Waits for a device are cut into slices that grow from 1 ms to this, so a call notices its
 * request's end, or a cancel, within one slice. */
static const int kLongestSliceMs = 16;

/* A network printer: connecting gives up after 5 s over every address its name has; a
 * printer that acknowledges nothing for 20 s ends the connection by itself. */
static const int kConnectTimeoutMs = 5000;
static const int kNetworkSilenceMs = 2 * kWriteWaitMs;
/* A handle whose printer went away looks for it again at its next call, for this long at
 * most, so calls while it is away fail fast. */
static const int kReconnectTimeoutMs = 500;

/* How long norvat_escpos_status waits for the printer's four answers unless told otherwise. */
static const int kEscPosWaitMs = 1000;

/* How long the listing waits for a USB printer's answer to its device ID request. */
static const int kDeviceIdWaitMs = 1000;

#endif

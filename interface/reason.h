/* Why a call failed: the one vocabulary of the reasons the library decides itself. Each platform
 * file maps it once to the platform's error (errno / GetLastError(), which the ten exports
 * leave, with the codes include/norvat.h names NORVAT_E_*), and maps the platform's error once to
 * the portable NORVAT_ERR_* codes of the handles. Where a platform call failed, its own code is
 * left in place by the platform file. */
#ifndef NORVAT_REASON_H
#define NORVAT_REASON_H

enum Reason {
    kReasonNone,         /* nothing failed (RcvBuf asked for 0 bytes) */
    kReasonBadArgument,  /* null pointer, negative count, rate 0 or below, name too long */
    kReasonNoPort,       /* no port is open */
    kReasonNoPrinter,    /* no connected USB printer matched */
    kReasonEndOfListing, /* nothing (more) to list */
    kReasonTimedOut,     /* nothing arrived, or no byte went out, in time */
    kReasonNoSerialLine, /* a line speed for a port that is no serial line, where the platform
                            is not asked: what a USB printer's driver answers */
    kReasonBusy,         /* the device is open already in this process */
    kReasonCancelled,    /* norvat_cancel or norvat_close ended the call */
    kReasonNoRecords,    /* the system's USB printer records cannot be read at all (Linux
                            without libudev) */
};

/* Sets the platform's error to the code of reason. Platform file. */
void SetReason(Reason reason);

/* The common early return of an export: sets the reason and gives 0. */
static inline int Refuse(Reason reason)
{
    SetReason(reason);
    return 0;
}

/* The platform's error as it stands now (errno / GetLastError()). Platform file. */
long PlatformError(void);

/* When a call failed, for the portable code. */
enum FailedStep {
    kFailedOpen, /* opening: "no such file" means no such port */
    kFailedIo,   /* writing, reading, asking: "no such device" means it went away */
};

/* The portable NORVAT_ERR_* code for the platform's error, as it stands now. Platform file. */
int PortableFailure(FailedStep step);

/* Sets reason and gives its portable code. */
int PortableRefusal(Reason reason);

#endif

// The public header compiles as C++ too, and declares C linkage: these pointers must have the
// exact types a host binds with GetProcAddress.
#include "norvat.h"

static int (*const kOpen)(const char *) = openport;
static int (*const kRead)(char *, int) = RcvBuf;
static int (*const kSend)(const char *, int) = sendbuf;
static int (*const kClose)() = closeport;

extern "C" int NorvatHeaderCheckCpp()
{
    return kOpen != nullptr && kRead != nullptr && kSend != nullptr && kClose != nullptr;
}

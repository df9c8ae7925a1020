/* The two routines GCC emits calls to (zero-filled arrays, struct copies). The DLL links no C
 * runtime, so it supplies them; this file is built with loop-to-call conversion off, or GCC would
 * turn these very loops back into calls to themselves. */
#include <stddef.h>

extern "C" void *memset(void *dest, int value, size_t size)
{
    unsigned char *d = (unsigned char *)dest;
    while (size-- > 0)
        *d++ = (unsigned char)value;
    return dest;
}

extern "C" void *memcpy(void *dest, const void *src, size_t size)
{
    unsigned char *d = (unsigned char *)dest;
    const unsigned char *s = (const unsigned char *)src;
    while (size-- > 0)
        *d++ = *s++;
    return dest;
}

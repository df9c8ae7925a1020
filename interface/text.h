/* Bounded text helpers shared by the port and USB code. They use no Windows header, so the
 * link parsing that relies on them also builds natively for the sanitizer and fuzz tests. */
#ifndef NORVAT_TEXT_H
#define NORVAT_TEXT_H

#include <stddef.h>

/* Length of text, scanning at most limit bytes: limit when no NUL is found before it. */
static inline size_t BoundedLength(const char *text, size_t limit)
{
    size_t n = 0;
    while (n < limit && text[n] != '\0')
        n++;
    return n;
}

/* Copies text into a field of fieldSize bytes, cutting it so the NUL always fits.
 * Returns the number of characters copied. */
static inline size_t CopyText(char *field, size_t fieldSize, const char *text)
{
    size_t n = 0;
    if (fieldSize == 0)
        return 0;
    while (n + 1 < fieldSize && text[n] != '\0') {
        field[n] = text[n];
        n++;
    }
    field[n] = '\0';
    return n;
}

/* Whether two texts are equal, byte for byte. */
static inline bool SameText(const char *a, const char *b)
{
    while (*a != '\0' && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

/* Whether text begins with prefix. */
static inline bool StartsWith(const char *text, const char *prefix)
{
    while (*prefix != '\0' && *text == *prefix) {
        text++;
        prefix++;
    }
    return *prefix == '\0';
}

/* Whether needle occurs anywhere in text (plain, case-sensitive byte comparison). */
static inline int ContainsText(const char *text, const char *needle)
{
    for (; *text != '\0'; text++) {
        size_t i = 0;
        while (needle[i] != '\0' && text[i] == needle[i])
            i++;
        if (needle[i] == '\0')
            return 1;
    }
    return 0;
}

#endif

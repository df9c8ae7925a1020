// JSON strings from 8-bit texts: strict UTF-8 passes, every other byte is escaped.
#include "tools/json.h"

#include <cstdio>

namespace {

// The length of the well-formed UTF-8 sequence that starts at text[at] (Unicode's table of
// well-formed byte sequences: no overlong forms, no surrogates, nothing above U+10FFFF); 0 when
// none starts there.
size_t Utf8Length(const std::string &text, size_t at)
{
    const unsigned char lead = (unsigned char)text[at];
    size_t length;
    unsigned char low = 0x80, high = 0xBF; // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - at < length)
        return 0;
    for (size_t i = 1; i < length; i++) {
        const unsigned char c = (unsigned char)text[at + i];
        if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF))
            return 0;
    }
    return length;
}

} // namespace

std::string JsonString(const std::string &text)
{
    std::string json = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = (unsigned char)text[i];
        if (c == '"' || c == '\\') {
            json += '\\';
            json += (char)c;
            i++;
            continue;
        }
        if (c >= 0x20 && c < 0x7F) {
            json += (char)c;
            i++;
            continue;
        }
        const size_t sequence = c >= 0x80 ? Utf8Length(text, i) : 0;
        if (sequence > 0) {
            json.append(text, i, sequence);
            i += sequence;
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
        json += escaped;
        i++;
    }
    return json + "\"";
}

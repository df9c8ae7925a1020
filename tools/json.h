// JSON text for the norvat tool's --json output, from the library's 8-bit texts.
#pragma once

#include <string>

// text as a JSON string, quotes included. A valid UTF-8 sequence stays as it is; any other byte
// is taken as Latin-1 (the text is 8-bit, ANSI on Windows) and written \u00XX, as are the
// control characters and DEL; '"' and '\' are escaped. So every byte makes valid JSON, and none
// is lost.
std::string JsonString(const std::string &text);

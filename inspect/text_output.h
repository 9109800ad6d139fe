// Helpers the text report and the picture share.
#ifndef VELMORA_INSPECT_TEXT_OUTPUT_H
#define VELMORA_INSPECT_TEXT_OUTPUT_H

#include <string>

namespace velmora {

// MinGW's printf archetype is the Microsoft one; the C runtime's standard
// conversions (%zu) are what this program uses.
#ifdef __MINGW32__
#define VELMORA_PRINTF_FORMAT gnu_printf
#else
#define VELMORA_PRINTF_FORMAT printf
#endif

// Appends the printf-style `format` to `text`, however long the result.
[[gnu::format(VELMORA_PRINTF_FORMAT, 2, 3)]] void append_format(std::string& text, const char* format, ...);

} // namespace velmora

#endif

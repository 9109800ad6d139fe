// Helpers the text report and the picture share.
#ifndef VELMORA_INSPECT_TEXT_OUTPUT_H
#define VELMORA_INSPECT_TEXT_OUTPUT_H

#include <string>

namespace velmora {

// Appends the printf-style `format` to `text`, however long the result.
[[gnu::format(printf, 2, 3)]] void append_format(std::string& text, const char* format, ...);

} // namespace velmora

#endif

#include "inspect/text_output.h"

#include <cstdarg>
#include <cstdio>

namespace velmora {

void append_format(std::string& text, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    va_list measuring;
    va_copy(measuring, arguments);
    const int size = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    if (size > 0) {
        const std::size_t end = text.size();
        // vsnprintf writes a terminator after the text: room for it, then cut.
        text.resize(end + static_cast<std::size_t>(size) + 1);
        std::vsnprintf(text.data() + end, static_cast<std::size_t>(size) + 1, format, arguments);
        text.resize(end + static_cast<std::size_t>(size));
    }
    va_end(arguments);
}

} // namespace velmora

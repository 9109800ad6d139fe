// A stream that gives the first bytes of a content, then fails with EIO: a
// read error part-way, which no ordinary file produces on demand.
#ifndef VELMORA_TESTS_FAILING_STREAM_H
#define VELMORA_TESTS_FAILING_STREAM_H

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <sys/types.h>
#include <vector>

namespace velmora::testing_support {

struct failing_source {
    const std::vector<std::uint8_t>* content;
    std::size_t good; // bytes given before the failure
    std::size_t position;
};

inline ssize_t read_failing(void* cookie, char* buffer, std::size_t size)
{
    auto& source = *static_cast<failing_source*>(cookie);
    if (source.position >= source.good) {
        errno = EIO;
        return -1;
    }
    const std::size_t count = std::min(size, source.good - source.position);
    std::copy_n(source.content->begin() + static_cast<std::ptrdiff_t>(source.position), count, buffer);
    source.position += count;
    return static_cast<ssize_t>(count);
}

// A read-only stream over `source`, which must outlive it.
inline std::FILE* open_failing_source(failing_source& source)
{
    cookie_io_functions_t functions{};
    functions.read = read_failing;
    return fopencookie(&source, "rb", functions);
}

} // namespace velmora::testing_support

#endif

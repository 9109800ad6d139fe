// How the fuzz targets report a broken property: a message and abort(), which
// libFuzzer records as a crash with its input, and which fails the replay
// test of the ordinary build.
#ifndef VELMORA_FUZZ_FUZZ_CHECK_H
#define VELMORA_FUZZ_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>
#include <string>

namespace velmora::fuzzing {

[[noreturn]] inline void fail(const std::string& what)
{
    std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
    std::abort();
}

inline void require(bool condition, const char* what)
{
    if (!condition) {
        fail(what);
    }
}

} // namespace velmora::fuzzing

#endif

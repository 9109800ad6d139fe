// Linked into every test program of a Windows build: standard output and
// error in binary mode, so that they end lines with "\n" as on Linux.
#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace {

const bool binary_standard_streams = [] {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    return true;
}();

} // namespace

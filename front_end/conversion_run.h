// The conversion run of the command line: its arguments, and the capture
// and image opened by name, the image through the output guard.
#ifndef VELMORA_FRONT_END_CONVERSION_RUN_H
#define VELMORA_FRONT_END_CONVERSION_RUN_H

#include "front_end/conversion.h"

#include <cstddef>
#include <cstdint>

namespace velmora {

// The buffers of a run: the capture reader's and the image writer's, larger
// than stdio's own, so that there are fewer system calls, and fixed,
// so that memory stays flat (the conversion still sees chunks of 2048
// bytes). Owned by the caller of run_conversion, for as long as the run's
// streams are open.
inline constexpr std::size_t stream_buffer_size = std::size_t{1} << 18;
struct stream_buffers {
    std::uint8_t input[stream_buffer_size];
    std::uint8_t output[stream_buffer_size];
};

// Fills `request` from the arguments after the program name; false if they
// do not form a valid command line.
bool parse_command_line(int argc, const char* const* argv, run_request& request);

// Converts the capture named by `request` into its TAP image. Whatever went
// wrong, no partial image is left at an output that could not be written,
// the input is never written to, and an output is not touched before the
// input is known to be no TAP image.
run_outcome run_conversion(const run_request& request, stream_buffers& buffers);

} // namespace velmora

#endif

// The conversion run: the command line, the run of the capture walk with the
// image as its sink, and the one place that turns each way a run can end
// into its message and status.
#ifndef VELMORA_FRONT_END_CONVERSION_RUN_H
#define VELMORA_FRONT_END_CONVERSION_RUN_H

#include "tape_files/wave_kind.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace velmora {

enum class run_status {
    converted,
    wrong_arguments,
    cannot_open_input,   // missing, unreadable, or a directory
    input_is_tap_image,  // the input is a TAP image, not a capture (arguments swapped?)
    cannot_open_output,  // cannot be created, names the input or the file standard output or
                         // standard error writes to, or another run is writing it
    empty_capture,       // block count field 1, or shorter than a header
    truncated_input,     // ended before a descriptor or sample bytes were complete
    unreadable_input,    // a read error after the input was opened
    cannot_write_output, // a write, the seek, the flush or the close failed
};

struct run_request {
    const char* input_path;
    const char* output_path;
    wave_kind waves; // TAP version 1 full waves (the default), 2 half waves
};

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

struct run_outcome {
    run_status status;
    std::uint64_t asymmetric_pulses; // full waves found asymmetric, measuring full waves only
};

// Fills `request` from the arguments after the program name; false if they
// do not form a valid command line.
bool parse_command_line(int argc, const char* const* argv, run_request& request);

// Converts the capture named by `request` into its TAP image. Whatever went
// wrong, no partial image is left at an output that could not be written,
// the input is never written to, and an output is not touched before the
// input is known to be no TAP image.
run_outcome run_conversion(const run_request& request, stream_buffers& buffers);

// The conversion itself, on streams that are already open: reads the capture
// from `input` strictly front to back and writes the TAP image of `waves`
// to `output`, which must be able to seek back to its start to patch the
// header. `output` is taken over and closed whatever happens (a failure to
// close it is a write failure); `input` is left open, perhaps read past the
// end of the capture. Never removes anything: an
// image that could not be written is for the caller to remove. Does not look
// for a TAP image in place of the capture. Any status but wrong_arguments,
// cannot_open_input, input_is_tap_image and cannot_open_output may result.
run_outcome convert_streams(std::FILE* input, std::FILE* output, wave_kind waves);

// Prints the banner that opens every run.
void print_banner(std::FILE* out);

// Prints what `outcome` calls for (usage, advisory, message) and returns the
// process exit status.
int report_outcome(const run_outcome& outcome, const run_request& request, std::FILE* out, std::FILE* err);

} // namespace velmora

#endif

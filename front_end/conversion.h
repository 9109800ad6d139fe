// The conversion: the run of the capture walk with the image as its sink,
// on streams already open, and the one place that turns each way a run can
// end into its message and status. Meets no file system: the command line's
// run (conversion_run.h) and the browser page open the streams.
#ifndef VELMORA_FRONT_END_CONVERSION_H
#define VELMORA_FRONT_END_CONVERSION_H

#include "tape_files/ctf_file.h"
#include "tape_files/wave_kind.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

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

struct run_outcome {
    run_status status;
    std::uint64_t asymmetric_pulses; // full waves found asymmetric, measuring full waves only
};

// The conversion of a capture whose reader may already hold bytes looked at
// ahead; see convert_streams. `output_buffer` (at least pulse_output_capacity
// bytes) gathers the image between writes. What was read before a failure
// is converted and written; the image is finished whenever its header was
// written and all writes so far succeeded, including after input that ended
// early.
run_outcome convert_from_reader(ctf_reader& reader, std::FILE* output, std::span<std::uint8_t> output_buffer,
                                wave_kind waves);

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

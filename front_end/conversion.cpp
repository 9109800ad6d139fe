#include "front_end/conversion.h"

#include "capture_walk/capture_walk.h"
#include "signal/pulse_measurement.h"
#include "tape_files/ctf_file.h"
#include "tape_files/tap_file.h"

#include <cassert>

namespace velmora {
namespace {

// The buffers of a conversion on streams given by the caller, on its stack:
// the least they may be. Such conversions serve tests and the fuzz target,
// whose captures then cross many refills of the capture buffer (one and a
// half chunks: chunks straddle them) and write-outs of the image buffer
// (one chunk's room: every chunk's entries are written out before the next).
constexpr std::size_t given_capture_buffer_size = ctf_min_buffer_size + ctf_min_buffer_size / 2;
constexpr std::size_t given_image_buffer_size = pulse_output_capacity;

constexpr const char* usage_lines[] = {
    "USAGE: velmora <CTFfile> <TAPfile> [<TAPversion>]",
    "   (default TAP version is 1)",
    "e.g.",
    "   velmora tape1.ctf tape1.tap 2",
    "   velmora data.ctf data.tap",
};

// The image being written: the walk's entries go straight into the
// writer's buffer.
struct image_sink {
    tap_writer& writer;
    tap_header image;
    bool header_written;
};

bool capture_begins(image_sink& sink, const ctf_header& /*header*/)
{
    sink.header_written = write_tap_header(sink.writer, sink.image);
    return sink.header_written;
}

bool block_begins(image_sink& /*sink*/, const walk_block& /*block*/)
{
    return true;
}

std::uint8_t* entry_room(image_sink& sink)
{
    return reserve_tap_data(sink.writer, pulse_output_capacity);
}

bool take_entries(image_sink& sink, const walk_chunk& chunk)
{
    return commit_tap_data(sink.writer, chunk.entry_bytes);
}

bool between_blocks(image_sink& sink)
{
    return write_tap_block_gap(sink.writer);
}

run_status walk_status(const walk_result& walk)
{
    switch (walk.ending) {
    case walk_ending::completed:
        return run_status::converted;
    case walk_ending::empty_capture:
        return run_status::empty_capture;
    case walk_ending::truncated:
        // Too short to hold a header is an empty capture.
        return walk.place == walk_place::header ? run_status::empty_capture : run_status::truncated_input;
    case walk_ending::unreadable:
        return run_status::unreadable_input;
    case walk_ending::sink_failed:
        return run_status::cannot_write_output;
    }
    assert(false && "every walk ending has its status");
    return run_status::unreadable_input;
}

} // namespace

run_outcome convert_from_reader(ctf_reader& reader, std::FILE* output, std::span<std::uint8_t> output_buffer,
                                wave_kind waves)
{
    tap_writer writer{output, output_buffer};
    image_sink sink{writer, tap_header{tap_version(waves), 0}, false};
    const walk_result walk = walk_capture(reader, waves, sink);
    run_status status = walk_status(walk);
    if (sink.header_written && status != run_status::cannot_write_output && !finish_tap_file(writer, sink.image)) {
        status = run_status::cannot_write_output;
    }
    if (!close_unfinished_tap_file(writer)) {
        status = run_status::cannot_write_output;
    }
    return run_outcome{status, walk.asymmetric_waves};
}

run_outcome convert_streams(std::FILE* input, std::FILE* output, wave_kind waves)
{
    std::uint8_t input_buffer[given_capture_buffer_size];
    std::uint8_t output_buffer[given_image_buffer_size];
    ctf_reader reader{input, input_buffer};
    return convert_from_reader(reader, output, output_buffer, waves);
}

void print_banner(std::FILE* out)
{
    std::fputs("velmora " VELMORA_VERSION " - converts CTF tape captures to C16 TAP images (PAL)\n\n", out);
}

int report_outcome(const run_outcome& outcome, const run_request& request, std::FILE* out, std::FILE* err)
{
    if (half_waves_advised(request.waves, outcome.asymmetric_pulses)) {
        std::fputs("Usage of TAP version 2 is recommended\n", out);
        std::fflush(out);
    }
    switch (outcome.status) {
    case run_status::converted:
        return 0;
    case run_status::wrong_arguments:
        for (const char* line : usage_lines) {
            std::fprintf(out, "%s\n", line);
        }
        return 1;
    case run_status::cannot_open_input:
        std::fprintf(err, "It's impossible to open %s to read\n", request.input_path);
        return 2;
    case run_status::input_is_tap_image:
        std::fprintf(err, "%s is a TAP image, not a CTF capture\n", request.input_path);
        return 2;
    case run_status::cannot_open_output:
        std::fprintf(err, "It's impossible to open %s to write\n", request.output_path);
        return 3;
    case run_status::empty_capture:
        std::fprintf(err, "%s is empty\n", request.input_path);
        return 4;
    case run_status::truncated_input:
        std::fprintf(err, "%s is truncated\n", request.input_path);
        return 5;
    case run_status::unreadable_input:
        std::fprintf(err, "It's impossible to read %s\n", request.input_path);
        return 5;
    case run_status::cannot_write_output:
        std::fprintf(err, "It's impossible to write %s\n", request.output_path);
        return 6;
    }
    assert(false && "every run status is reported above");
    return 6;
}

} // namespace velmora

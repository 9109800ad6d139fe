#include "front_end/conversion_run.h"

#include "platform/files.h"
#include "platform/output_guard.h"
#include "signal/pulse_measurement.h"
#include "tape_files/ctf_file.h"
#include "tape_files/tap_file.h"

namespace velmora {

static_assert(stream_buffer_size >= pulse_output_capacity, "the image buffer holds a chunk's entries");

bool parse_command_line(int argc, const char* const* argv, run_request& request)
{
    if (argc != 3 && argc != 4) {
        return false;
    }
    request = run_request{argv[1], argv[2], wave_kind::full_waves};
    if (argc == 4) {
        // Only the first character counts: "2x" asks for version 2.
        switch (argv[3][0]) {
        case '1':
            request.waves = wave_kind::full_waves;
            break;
        case '2':
            request.waves = wave_kind::half_waves;
            break;
        default:
            return false;
        }
    }
    return true;
}

run_outcome run_conversion(const run_request& request, stream_buffers& buffers)
{
    input_file input{};
    if (!open_input(request.input_path, input)) {
        return run_outcome{run_status::cannot_open_input, 0};
    }
    // A file is read in large reads straight into the reader's buffer; a
    // stream buffer would only copy every byte once more. A pipe or a device
    // is read only as far as each chunk needs, through the stream's own
    // buffer, so that a capture arriving slowly is converted as it comes.
    const bool read_ahead = input.identity.regular;
    if (read_ahead) {
        std::setvbuf(input.stream.file, nullptr, _IONBF, 0);
    }
    // A TAP image given in place of the capture (the arguments swapped) is
    // refused before the output, perhaps the user's capture, is touched.
    ctf_reader reader{input.stream.file, buffers.input, read_ahead};
    const std::span<const std::uint8_t> start = peek_bytes(reader, tap_recognition_size);
    if (is_tap_image_start(start.data(), start.size())) {
        return run_outcome{run_status::input_is_tap_image, 0};
    }
    // So is an input that failed before it could be told from an image: too
    // few bytes arrived to hold a single sample, so no image is lost.
    if (start.size() < tap_recognition_size && std::ferror(input.stream.file) != 0) {
        return run_outcome{run_status::unreadable_input, 0};
    }
    guarded_output output{};
    if (open_guarded_output(request.output_path, input.identity, nullptr, output) != output_open_result::opened) {
        return run_outcome{run_status::cannot_open_output, 0};
    }
    // The image gathers in the writer's buffer and is written in large
    // pieces; a stream buffer would only copy it once more.
    std::setvbuf(output.stream, nullptr, _IONBF, 0);
    run_outcome outcome = convert_from_reader(reader, output.stream, buffers.output, request.waves);
    if (outcome.status == run_status::cannot_write_output) {
        discard_unfinished_output(output);
        // No advice about an image that was not kept.
        outcome.asymmetric_pulses = 0;
    }
    release_output(output);
    return outcome;
}

} // namespace velmora

// Fuzz target: the whole conversion of any bytes taken as a CTF capture, in
// both TAP versions, through the front end's own convert_streams. The input
// is read from memory; the image is written to an in-memory file that can
// seek back to patch its header, as a real output file can.
//
// Checked for every input: the run ends (no crash, hang or sanitizer report)
// with the status the capture's layout calls for; an empty capture writes
// nothing; any other writes a TAP image whose data size field equals the
// bytes after its header and whose every entry a TAP reader parses as
// written; and the image and asymmetry count are exactly those of a plain
// model of the walk (blocks, chunks of at most 2048 bytes, gaps between
// blocks, the bytes actually present converted, nothing after a missing
// byte) built on the per-sample reference measurement.
#include "front_end/conversion_run.h"
#include "fuzz/fuzz_check.h"
#include "tape_files/tap_entry.h"
#include "test_support/reference_scan.h"
#include "tests/tap_image_check.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace velmora::fuzzing {
namespace {

using bytes = std::vector<std::uint8_t>;

// The wave kind of a TAP version as velmora's command line reads it.
constexpr wave_kind waves_of(int version)
{
    return version == 2 ? wave_kind::half_waves : wave_kind::full_waves;
}

struct model_result {
    run_status status;
    bytes image;
    std::uint64_t asymmetric_pulses;
};

std::uint32_t little_endian(const std::uint8_t* at, unsigned size)
{
    std::uint32_t value = 0;
    for (unsigned i = 0; i < size; ++i) {
        value |= static_cast<std::uint32_t>(at[i]) << (8 * i);
    }
    return value;
}

// The conversion as the rules state it, written plainly and independently of
// the front end and the CTF reader.
model_result model(const std::uint8_t* data, std::size_t size, int version)
{
    constexpr std::size_t header_size = 6;
    constexpr std::size_t descriptor_size = 5;
    constexpr std::size_t chunk_size = 2048;
    if (size < header_size) {
        return {run_status::empty_capture, {}, 0};
    }
    const auto field = static_cast<std::int16_t>(little_endian(data + 4, 2));
    if (field == 1) {
        return {run_status::empty_capture, {}, 0};
    }
    model_result result{run_status::converted, {}, 0};
    bytes& image = result.image;
    image = {'C', '1', '6', '-', 'T', 'A', 'P', 'E', '-', 'R', 'A', 'W', static_cast<std::uint8_t>(version), 2, 0, 0,
             0, 0, 0, 0};
    pulse_state state{};
    static std::uint8_t entries[pulse_output_capacity];
    const int blocks = field > 1 ? field - 1 : 0;
    std::size_t position = header_size;
    for (int block = 1; block <= blocks; ++block) {
        if (size - position < descriptor_size) {
            result.status = run_status::truncated_input;
            break;
        }
        const auto end_offset = static_cast<std::int32_t>(little_endian(data + position, 4));
        const std::uint8_t period = data[position + 4];
        position += descriptor_size;
        const std::int64_t wanted = std::int64_t{end_offset} - static_cast<std::int64_t>(position);
        if (wanted > 0) {
            const std::size_t present = std::min(static_cast<std::size_t>(wanted), size - position);
            for (std::size_t done = 0; done < present;) {
                const std::size_t length = std::min(chunk_size, present - done);
                const std::size_t written =
                    convert_chunk_reference(data + position + done, length, period, waves_of(version), state, entries);
                image.insert(image.end(), entries, entries + written);
                done += length;
            }
            position += present;
            if (present < static_cast<std::size_t>(wanted)) {
                result.status = run_status::truncated_input;
                break;
            }
        }
        if (block < blocks) {
            image.insert(image.end(), {0x00, 0x00, 0x80, 0x01, 0x00, 0x00, 0x80, 0x01});
        }
    }
    const auto data_size = static_cast<std::uint32_t>(image.size() - 20);
    for (unsigned i = 0; i < 4; ++i) {
        image[16 + i] = static_cast<std::uint8_t>(data_size >> (8 * i));
    }
    result.asymmetric_pulses = state.asymmetric_pulses;
    return result;
}

// One in-memory file for every image: emptied before each run, written
// through a stream on a duplicate of its descriptor (which convert_streams
// closes), and read back through the original.
int image_file()
{
    static const int descriptor = memfd_create("velmora-fuzz-image", 0);
    require(descriptor != -1, "cannot create an in-memory file");
    return descriptor;
}

bytes read_image(int descriptor)
{
    struct stat status {};
    require(fstat(descriptor, &status) == 0, "cannot size the image");
    bytes image(static_cast<std::size_t>(status.st_size));
    require(pread(descriptor, image.data(), image.size(), 0) == static_cast<ssize_t>(image.size()),
            "cannot read the image back");
    return image;
}

void check_conversion(const std::uint8_t* data, std::size_t size, int version)
{
    const int descriptor = image_file();
    require(ftruncate(descriptor, 0) == 0 && lseek(descriptor, 0, SEEK_SET) == 0, "cannot empty the image");
    // fmemopen reads from the buffer only; the cast does not let it write.
    std::FILE* const input = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    std::FILE* const output = fdopen(dup(descriptor), "wb");
    require(input != nullptr && output != nullptr, "cannot open the streams");
    const run_outcome outcome = convert_streams(input, output, waves_of(version));
    std::fclose(input);
    const bytes image = read_image(descriptor);

    const model_result expected = model(data, size, version);
    // Messages are only built for a failure, to keep the runs fast.
    const auto context = [&] {
        return "version " + std::to_string(version) + ", " + std::to_string(size) + " input bytes: ";
    };
    if (outcome.status != expected.status) {
        fail(context() + "status " + std::to_string(static_cast<int>(outcome.status)) + ", expected " +
             std::to_string(static_cast<int>(expected.status)));
    }
    if (outcome.status == run_status::empty_capture) {
        if (!image.empty()) {
            fail(context() + "an empty capture wrote " + std::to_string(image.size()) + " bytes");
        }
        return;
    }
    const std::string problem = testing_support::tap_image_problem(image.data(), image.size(), version);
    if (!problem.empty()) {
        fail(context() + problem);
    }
    if (image != expected.image) {
        const auto mismatch = std::mismatch(image.begin(), image.end(), expected.image.begin(), expected.image.end());
        fail(context() + "the image (" + std::to_string(image.size()) + " bytes) differs from the model's (" +
             std::to_string(expected.image.size()) + " bytes) from offset " +
             std::to_string(mismatch.first - image.begin()));
    }
    if (outcome.asymmetric_pulses != expected.asymmetric_pulses) {
        fail(context() + "asymmetric waves " + std::to_string(outcome.asymmetric_pulses) + ", expected " +
             std::to_string(expected.asymmetric_pulses));
    }
}

} // namespace
} // namespace velmora::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    velmora::fuzzing::check_conversion(data, size, 1);
    velmora::fuzzing::check_conversion(data, size, 2);
    return 0;
}

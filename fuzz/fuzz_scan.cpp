// Fuzz target: every scan path this CPU runs (the vector one and the portable
// one; convert_chunk takes the first of them) against the per-sample
// reference loop, convert_chunk_reference, on any bytes cut into chunks.
//
// The input is read from both ends. Sample bytes are taken from the front;
// the choices are taken from the back, one byte at a time (0 once the two
// ends meet): first a start state, then for each chunk its length (1 to
// 2048), its sample period (0 to 255) and its TAP version (0 to 3: 2 asks
// for half waves, every other value for full waves). So any file, a real
// capture included, is a valid input, and the fuzzer can change a split
// without moving the samples.
//
// After every chunk each path must have returned the same number of bytes as
// the reference, written the same entries and left every field of its own
// pulse_state equal. Each chunk is copied into a buffer of exactly its length,
// and each scan writes into a buffer of exactly pulse_output_capacity bytes,
// so that AddressSanitizer reports any read past the chunk or write past the
// room promised.
#include "fuzz/fuzz_check.h"
#include "signal/pulse_measurement.h"
#include "signal/scan_paths.h"
#include "test_support/reference_scan.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace velmora::fuzzing {
namespace {

struct input_reader {
    const std::uint8_t* data;
    std::size_t front; // next sample byte
    std::size_t back;  // one past the next choice byte, read backwards

    std::uint8_t choice()
    {
        return back > front ? data[--back] : 0;
    }

    std::uint64_t choice_bits(unsigned bytes_wanted)
    {
        std::uint64_t value = 0;
        for (unsigned i = 0; i < bytes_wanted; ++i) {
            value |= std::uint64_t{choice()} << (8 * i);
        }
        return value;
    }
};

// A state the run could have reached: the level, and phase lengths and a
// count below 2^40 samples (far beyond any capture, below any overflow).
pulse_state start_state(input_reader& reader)
{
    const std::uint8_t kind = reader.choice();
    pulse_state state{};
    state.level = static_cast<std::uint8_t>(kind & 1U);
    if ((kind & 2U) != 0) {
        state.count = reader.choice_bits(5);
        state.low_length = reader.choice_bits(5);
        state.asymmetric_pulses = reader.choice_bits(5);
    }
    return state;
}

std::string describe(const pulse_state& state)
{
    return "level " + std::to_string(state.level) + " count " + std::to_string(state.count) + " low_length " +
           std::to_string(state.low_length) + " asymmetric " + std::to_string(state.asymmetric_pulses);
}

bool same_state(const pulse_state& a, const pulse_state& b)
{
    return a.level == b.level && a.count == b.count && a.low_length == b.low_length &&
           a.asymmetric_pulses == b.asymmetric_pulses;
}

} // namespace
} // namespace velmora::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace velmora;
    using namespace velmora::fuzzing;
    static const std::unique_ptr<std::uint8_t[]> reference_out(new std::uint8_t[pulse_output_capacity]);
    struct path_run {
        scan_path path;
        pulse_state state;
        std::unique_ptr<std::uint8_t[]> out;
    };
    input_reader reader{data, 0, size};
    pulse_state reference = start_state(reader);
    std::vector<path_run> runs;
    for (const scan_path& path : available_scan_paths()) {
        runs.push_back({path, reference, std::unique_ptr<std::uint8_t[]>(new std::uint8_t[pulse_output_capacity])});
    }
    for (int chunk_number = 0;; ++chunk_number) {
        const std::size_t wanted = 1 + (reader.choice_bits(2) % max_chunk_bytes);
        const std::uint8_t period = reader.choice();
        const int version = reader.choice() % 4;
        const wave_kind waves = version == 2 ? wave_kind::half_waves : wave_kind::full_waves;
        const std::size_t length = std::min(wanted, reader.back - reader.front);
        if (length == 0) {
            break;
        }
        const std::unique_ptr<std::uint8_t[]> chunk(new std::uint8_t[length]);
        std::memcpy(chunk.get(), data + reader.front, length);
        reader.front += length;

        const pulse_state before = reference;
        const std::size_t reference_size =
            convert_chunk_reference(chunk.get(), length, period, waves, reference, reference_out.get());
        for (path_run& run : runs) {
            const std::size_t path_size = run.path.convert(chunk.get(), length, period, waves, run.state, run.out.get());
            const auto context = [&] {
                return std::string(run.path.name) + " path, chunk " + std::to_string(chunk_number) + " of " +
                       std::to_string(length) + " bytes, period " + std::to_string(period) + ", version " +
                       std::to_string(version) + ", from " + describe(before) + ": ";
            };
            if (path_size != reference_size ||
                std::memcmp(run.out.get(), reference_out.get(), std::min(path_size, pulse_output_capacity)) != 0) {
                fail(context() + "entries differ: " + std::to_string(path_size) + " bytes, reference " +
                     std::to_string(reference_size));
            }
            if (!same_state(run.state, reference)) {
                fail(context() + "states differ: " + describe(run.state) + "; reference " + describe(reference));
            }
        }
    }
    return 0;
}

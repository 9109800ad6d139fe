#include "test_support/reference_scan.h"

#include "tape_files/tap_entry.h"

#include <cassert>

namespace velmora {

std::size_t convert_chunk_reference(const std::uint8_t* samples, std::size_t length, std::uint8_t period,
                                    wave_kind waves, pulse_state& state, std::uint8_t* out)
{
    assert(length <= max_chunk_bytes);
    std::uint8_t* const start = out;
    for (std::size_t i = 0; i < length; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            const auto sample = static_cast<std::uint8_t>((samples[i] >> bit) & 1U);
            ++state.count;
            if (sample == state.level) {
                continue;
            }
            state.level = sample;
            const std::uint64_t n = state.count;
            if (waves == wave_kind::half_waves) {
                out = put_tap_entry(out, half_wave_value(n, period));
            } else if (sample == 1) {
                state.low_length = n;
                out = put_tap_entry(out, full_wave_value(n, period));
            } else if (n - state.low_length > 3) {
                // A high phase shorter than the low phase wraps to a large difference.
                ++state.asymmetric_pulses;
            }
            state.count = 0;
        }
    }
    return static_cast<std::size_t>(out - start);
}

} // namespace velmora

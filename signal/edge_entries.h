// What the scan paths do alike once a chunk's edges are sample positions:
// the entry (or, in full waves, the symmetry check) of one edge, and the
// state a chunk leaves behind.
#ifndef VELMORA_SIGNAL_EDGE_ENTRIES_H
#define VELMORA_SIGNAL_EDGE_ENTRIES_H

#include "signal/pulse_measurement.h"

#include <cstddef>
#include <cstdint>

namespace velmora {

// The exact entry value of a phase of n samples, in half or full waves.
template <bool half_waves>
constexpr std::uint64_t wave_value(std::uint64_t n, std::uint8_t period)
{
    return half_waves ? half_wave_value(n, period) : full_wave_value(n, period);
}

// What a scan carries from edge to edge besides the output, in full waves.
struct full_waves {
    std::uint64_t low_length;
    std::uint64_t asymmetric;
};

// One edge closing a phase of n samples; `rising` says whether the level
// goes to 1. Half waves write an entry per edge; full waves one per rising
// edge, and check each falling one against it. `put(at, n)` writes the
// entry of a phase of n samples at `at` and returns its end.
template <bool half_waves, typename entry_writer>
std::uint8_t* edge_entry(std::uint8_t* out, std::uint64_t n, bool rising, full_waves& waves, entry_writer put)
{
    if constexpr (half_waves) {
        return put(out, n);
    }
    if (rising) {
        waves.low_length = n;
        return put(out, n);
    }
    // A high phase shorter than the low phase wraps to a large difference.
    waves.asymmetric += n - waves.low_length > 3 ? 1 : 0;
    return out;
}

// The state after a chunk of `length` sample bytes with `edges` (at least
// one) edges, the last at sample `last_position` of the chunk.
inline void close_chunk(pulse_state& state, std::size_t length, std::size_t edges, std::uint16_t last_position,
                        const full_waves& waves)
{
    state.count = std::uint64_t{length} * 8 - (last_position + 1U);
    state.level = static_cast<std::uint8_t>(state.level ^ (edges & 1U));
    state.low_length = waves.low_length;
    state.asymmetric_pulses = waves.asymmetric;
}

} // namespace velmora

#endif

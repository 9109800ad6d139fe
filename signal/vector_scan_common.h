// What the vector scans share: they find a chunk's edges as 64-sample masks
// in sample order, turn them into sample positions, and write the entries of
// the phases between them, in lanes where the values fit in one byte and by
// the exact formulas where they do not.
#ifndef VELMORA_SIGNAL_VECTOR_SCAN_COMMON_H
#define VELMORA_SIGNAL_VECTOR_SCAN_COMMON_H

#include "signal/edge_entries.h"
#include "tape_files/tap_entry.h"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>

namespace velmora {

// For every byte of an edge mask in sample order: the indices (0 to 7) of
// its set bits from bit 0 up, one per byte from the lowest; the rest are 0.
// For masks too dense for the lanes.
struct low_first_byte_edge_table {
    std::uint64_t indices[256];
};

constexpr low_first_byte_edge_table make_low_first_byte_edge_table()
{
    low_first_byte_edge_table table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        unsigned slot = 0;
        for (unsigned index = 0; index < 8; ++index) {
            if ((byte & (1U << index)) != 0) {
                table.indices[byte] |= std::uint64_t{index} << (8 * slot++);
            }
        }
    }
    return table;
}

inline constexpr low_first_byte_edge_table low_first_byte_edges = make_low_first_byte_edge_table();

// Stands for the edge before the chunk's first sample, at index −1, in the
// slot before the first position: a difference taken modulo 2^16 with it
// gives the first position plus one.
inline constexpr std::uint16_t position_before_chunk = 0xFFFF;

// One edge closing a phase of n samples, by the exact formulas; `rising`
// says whether the level goes to 1 (version 1 only).
template <bool half_waves>
std::uint8_t* exact_entry(std::uint8_t* out, std::uint64_t n, bool rising, std::uint8_t period, full_waves& waves)
{
    return edge_entry<half_waves>(out, n, rising, waves, [period](std::uint8_t* at, std::uint64_t length) {
        return put_tap_entry(at, wave_value<half_waves>(length, period));
    });
}

// The length in samples of the phase closed by edge i, from a chunk's
// positions (position i − 1 is the chunk's edge before it, or stands for
// the one before the chunk).
inline std::uint64_t phase_length(const std::uint16_t* positions, std::size_t i)
{
    const std::uint16_t* const end = positions + i;
    return static_cast<std::uint16_t>(end[0] - end[-1]);
}

// The edges from index `first` up to `last` (excluded), none of them the
// chunk's first edge, by the exact formulas. An edge is rising if its index
// has the parity `rising_parity`. Kept inline: called out of line, it takes
// `waves` out of registers for the whole of the entries' pass, which made
// version 1 about a tenth slower.
template <bool half_waves>
[[gnu::always_inline]] inline std::uint8_t* exact_entries(std::uint8_t* out, const std::uint16_t* positions,
                                                          std::size_t first, std::size_t last,
                                                          std::size_t rising_parity, std::uint8_t period,
                                                          full_waves& waves)
{
    for (std::size_t i = first; i < last; ++i) {
        out = exact_entry<half_waves>(out, phase_length(positions, i), (i & 1U) == rising_parity, period, waves);
    }
    return out;
}

// A chunk through a vector scan's three passes, supplied by `passes` as
// static members:
//   position_slack      room the passes need past the last position
//   edge_masks          pass 1: (samples, length, level, masks) -> groups with an edge
//   edge_positions      pass 2: (masks, groups, positions) -> number of edges
//   half_wave_entries   pass 3: (out, positions, first, edges, period) -> end of out
//   full_wave_entries   pass 3: (out, positions, first, edges, period, waves) -> end of out
// Pass 2 gives positions[i] for every edge, positions[−1] standing for the
// edge before the chunk; pass 3 reads whole vectors of them past the last
// edge, which read as phases of 0 samples. Same contract as convert_chunk.
template <bool half_waves, typename passes>
std::size_t three_pass_scan(const std::uint8_t* samples, std::size_t length, std::uint8_t period,
                            pulse_state& state, std::uint8_t* out)
{
    assert(state.count < (std::uint64_t{1} << 62) && state.level <= 1);
    constexpr std::size_t max_chunk_samples = max_chunk_bytes * 8;
    static_assert(max_chunk_samples <= 0xFFFF, "a sample index within a chunk fits in 16 bits, with one value spare");
    alignas(32) std::uint64_t masks[max_chunk_bytes / 8];
    std::uint16_t edge_positions[1 + max_chunk_samples + passes::position_slack];
    edge_positions[0] = position_before_chunk;
    std::uint16_t* const positions = edge_positions + 1;
    const std::uint64_t groups = passes::edge_masks(samples, length, state.level, masks);
    const std::size_t edges = passes::edge_positions(masks, groups, positions);
    const std::uint64_t samples_in_chunk = length * 8;
    if (edges == 0) {
        state.count += samples_in_chunk;
        return 0;
    }
    std::fill_n(positions + edges, passes::position_slack, positions[edges - 1]);
    std::uint8_t* const start = out;
    // Edge 0 goes to the other level: it rises if the level was 0, and so
    // does every other edge after it. It closes the phase carried from
    // earlier chunks.
    const std::size_t rising_parity = state.level;
    full_waves waves{state.low_length, state.asymmetric_pulses};
    out = exact_entry<half_waves>(out, state.count + phase_length(positions, 0), rising_parity == 0, period, waves);
    if constexpr (half_waves) {
        out = passes::half_wave_entries(out, positions, 1, edges, period);
    } else {
        // The vector loop starts at a rising edge.
        std::size_t first = 1;
        if ((first & 1U) != rising_parity && first < edges) {
            out = exact_entries<false>(out, positions, first, first + 1, rising_parity, period, waves);
            ++first;
        }
        out = passes::full_wave_entries(out, positions, first, edges, period, waves);
    }
    close_chunk(state, length, edges, positions[edges - 1], waves);
    return static_cast<std::size_t>(out - start);
}

// convert_chunk through three_pass_scan with `passes`, half or full waves.
template <typename passes>
std::size_t three_pass_convert(const std::uint8_t* samples, std::size_t length, std::uint8_t period, wave_kind waves,
                               pulse_state& state, std::uint8_t* out)
{
    assert(length <= max_chunk_bytes);
    return waves == wave_kind::half_waves ? three_pass_scan<true, passes>(samples, length, period, state, out)
                                          : three_pass_scan<false, passes>(samples, length, period, state, out);
}

} // namespace velmora

#endif

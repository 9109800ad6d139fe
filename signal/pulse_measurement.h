// Pulse measurement: finds the edges of a 1-bit sampled signal, measures the
// distance between edges in samples and turns it into TAP entries. Measuring
// half waves, it writes every half wave; measuring full waves, it writes
// every full wave as twice its low phase and counts the waves whose high
// phase does not match the low phase.
#ifndef VELMORA_SIGNAL_PULSE_MEASUREMENT_H
#define VELMORA_SIGNAL_PULSE_MEASUREMENT_H

#include "tape_files/wave_kind.h"

#include <cstddef>
#include <cstdint>

namespace velmora {

// Largest chunk convert_chunk accepts, in sample bytes (8 samples each).
inline constexpr std::size_t max_chunk_bytes = 2048;
// Output room convert_chunk needs for any chunk of max_chunk_bytes: at most
// one byte per sample, plus one 4-byte entry carrying a phase from earlier
// chunks, plus slack for whole-word stores.
inline constexpr std::size_t pulse_output_capacity = 32768;

// Phases shorter than this many samples are encoded from a table.
inline constexpr std::size_t short_phase_limit = 128;

// The encoded entries of the phases shorter than short_phase_limit samples,
// for one sample period and one kind of wave: built by convert_chunk when the
// period or the wave kind changes, i.e. once per block. A cache that the
// measurement's result never depends on; it starts zeroed (not built).
struct short_phase_table {
    std::uint16_t key;                         // 0: not built; else which period and wave kind it holds
    std::uint64_t entries[short_phase_limit];  // an entry's bytes, first byte lowest, and from bit 32 its size
};

// The measurement state of a run. It starts zeroed and carries phases across
// chunk and block boundaries; it is never reset between them. Two runs with
// two states share nothing.
struct pulse_state {
    std::uint8_t level;               // current signal level, 0 or 1
    std::uint64_t count;              // samples since the last edge, counting the edge sample
    std::uint64_t low_length;         // version 1: length of the last low phase
    std::uint64_t asymmetric_pulses;  // version 1: full waves whose phases do not match
    short_phase_table short_phases{}; // the scan's cache for the current period
};

// How long one sample of period p lasts, in clock cycles: p × 1.04 measured
// as half waves, p × 1.01 as full waves. In hundredths of p.
inline constexpr std::uint64_t half_wave_sample_percent = 104;
inline constexpr std::uint64_t full_wave_sample_percent = 101;

constexpr std::uint64_t sample_percent(wave_kind waves)
{
    return waves == wave_kind::half_waves ? half_wave_sample_percent : full_wave_sample_percent;
}

// Cycles of one sample of period `period` measured as `waves`, for reports.
constexpr double sample_cycles(std::uint8_t period, wave_kind waves)
{
    return period * (static_cast<double>(sample_percent(waves)) / 100);
}

// Half-wave entry value for a phase of n samples of period p, in TAP units of
// 8 cycles: floor(n × 1.04 × p / 8 + 0.5), computed exactly.
constexpr std::uint64_t half_wave_value(std::uint64_t n, std::uint8_t p)
{
    static_assert(half_wave_sample_percent % 8 == 0, "1.04 / 8 is 13 / 100");
    return (half_wave_sample_percent / 8 * n * p + 50) / 100;
}

// Full-wave entry value for a low phase of n samples of period p, in TAP
// units: twice the low phase, floor(2 × n × 1.01 × p / 8 + 0.5), computed
// exactly.
constexpr std::uint64_t full_wave_value(std::uint64_t n, std::uint8_t p)
{
    return (full_wave_sample_percent * n * p + 200) / 400;
}

// Converts `length` (1 to max_chunk_bytes) sample bytes, most significant
// bit first, of a block with sample period `period`, writing the entries of
// the edges found to `out` from its start; returns the number of bytes
// written. `out` must hold pulse_output_capacity bytes. The phase open at the
// end of the chunk stays in `state` for the next chunk, of this block or the
// next; its whole length is scaled with the period of the block it ends in.
// `waves` says whether half or full waves are measured.
std::size_t convert_chunk(const std::uint8_t* samples, std::size_t length, std::uint8_t period, wave_kind waves,
                          pulse_state& state, std::uint8_t* out);

} // namespace velmora

#endif

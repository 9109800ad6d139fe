// Counts of one-byte entries by value, for the histogram, in one pass and
// constant memory. A tape's pulses take a few values far more often than
// the rest (the peaks of its kinds of pulse): those are counted side by
// side, sixteen entries at a time, and the others one at a time. Which
// values are counted side by side is chosen anew every window of entries
// from that window's counts, and only where they held most of its entries.
#ifndef VELMORA_INSPECT_VALUE_COUNTS_H
#define VELMORA_INSPECT_VALUE_COUNTS_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace velmora {

// Values counted side by side.
inline constexpr unsigned side_by_side_values = 4;

struct value_counts {
    // Entries counted one at a time, spread over lanes so that a value
    // counted again and again does not wait for its own last store.
    std::array<std::array<std::uint64_t, 256>, 4> lanes;
    std::array<std::uint8_t, side_by_side_values> common; // distinct
    std::array<std::uint64_t, side_by_side_values> common_counts;
    bool side_by_side;                // the common values are counted side by side
    std::uint64_t window_entries;     // counted since the window began
    std::array<std::uint64_t, 256> at_window_start;
};

// Starts `counts` with nothing counted.
void start_counting(value_counts& counts);

// Counts the `size` entries at `run`, one byte each.
void count_values(value_counts& counts, const std::uint8_t* run, std::size_t size);

// Entries of `value` counted so far.
std::uint64_t value_count(const value_counts& counts, std::uint8_t value);

} // namespace velmora

#endif

// Counts of one-byte entries by value, for the histogram, in one pass and
// constant memory. A tape's pulses take a few values far more often than
// the rest (the peaks of its kinds of pulse): those are counted side by
// side, sixteen entries at a time, and the others one at a time. Where the
// values are spread, entries are counted two at a time, by pair of values.
// Which values are counted side by side is chosen anew every window of
// entries from that window's counts, and only where they held most of it.
#ifndef VELMORA_INSPECT_VALUE_COUNTS_H
#define VELMORA_INSPECT_VALUE_COUNTS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora {

// Values counted side by side.
inline constexpr unsigned side_by_side_values = 4;

enum class counting_mode : std::uint8_t {
    one_at_a_time, // until a window has shown how the values lie
    side_by_side,  // the common values side by side, the others one at a time
    by_pairs,      // spread values, two at a time
};

struct value_counts {
    // Entries counted one at a time, spread over lanes so that a value
    // counted again and again does not wait for its own last store.
    std::array<std::array<std::uint64_t, 256>, 4> lanes;
    std::array<std::uint8_t, side_by_side_values> common; // distinct, the commonest first
    std::array<std::uint64_t, side_by_side_values> common_counts;
    counting_mode mode;
    // Pairs of entries by their two values (the first in the low byte), in
    // two lanes of 65,536, from the first window counted by pairs on; added
    // to `lanes` before a count could overflow.
    std::vector<std::uint32_t> pairs;
    std::uint64_t paired_entries;     // since they were last added
    std::array<std::uint32_t, 256> sampled; // every eighth entry counted by pairs in this window
    std::uint64_t window_entries;     // counted since the window began
    std::array<std::uint64_t, 256> at_window_start; // of lanes and common counts
};

// Starts `counts` with nothing counted.
void start_counting(value_counts& counts);

// Counts the `size` entries at `run`, one byte each.
void count_values(value_counts& counts, const std::uint8_t* run, std::size_t size);

// Entries counted so far, by value.
std::array<std::uint64_t, 256> value_totals(const value_counts& counts);

} // namespace velmora

#endif

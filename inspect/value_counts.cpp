#include "inspect/value_counts.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora {
namespace {

// Entries after which the common values are chosen anew.
constexpr std::uint64_t window_entries = std::uint64_t{1} << 16;
// The common values are counted side by side where they held at least this
// share of the last window's entries (in quarters); below it the test of
// sixteen entries against them costs more than it saves.
constexpr std::uint64_t side_by_side_quarters = 3;
// Rounds of sixteen entries a byte lane can count before it could wrap.
constexpr std::size_t rounds_per_lane_total = 255;

typedef std::uint8_t sixteen_bytes __attribute__((vector_size(16)));

// The sum of the sixteen bytes.
std::uint64_t byte_total(sixteen_bytes bytes)
{
#if defined(__SSE2__)
    const __m128i sums = _mm_sad_epu8(reinterpret_cast<__m128i>(bytes), _mm_setzero_si128());
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
           static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
#else
    std::uint64_t total = 0;
    for (unsigned j = 0; j < 16; ++j) {
        total += bytes[j];
    }
    return total;
#endif
}

void count_one_at_a_time(value_counts& counts, const std::uint8_t* run, std::size_t size)
{
    std::size_t at = 0;
    for (; size - at >= 4; at += 4) {
        ++counts.lanes[0][run[at]];
        ++counts.lanes[1][run[at + 1]];
        ++counts.lanes[2][run[at + 2]];
        ++counts.lanes[3][run[at + 3]];
    }
    for (; at < size; ++at) {
        ++counts.lanes[0][run[at]];
    }
}

void count_side_by_side(value_counts& counts, const std::uint8_t* run, std::size_t size)
{
    static_assert(side_by_side_values == 4, "four values tested per round");
    const sixteen_bytes value0 = sixteen_bytes{} + counts.common[0];
    const sixteen_bytes value1 = sixteen_bytes{} + counts.common[1];
    const sixteen_bytes value2 = sixteen_bytes{} + counts.common[2];
    const sixteen_bytes value3 = sixteen_bytes{} + counts.common[3];
    std::size_t at = 0;
    while (size - at >= 16) {
        // Each lane counts one value's entries among its sixteenths (0xFF
        // where equal: subtracted, it adds 1).
        sixteen_bytes count0 = {};
        sixteen_bytes count1 = {};
        sixteen_bytes count2 = {};
        sixteen_bytes count3 = {};
        const std::size_t end = at + std::min(rounds_per_lane_total, (size - at) / 16) * 16;
        for (; at < end; at += 16) {
            sixteen_bytes values;
            std::memcpy(&values, run + at, sizeof values);
            const auto equal0 = reinterpret_cast<sixteen_bytes>(values == value0);
            const auto equal1 = reinterpret_cast<sixteen_bytes>(values == value1);
            const auto equal2 = reinterpret_cast<sixteen_bytes>(values == value2);
            const auto equal3 = reinterpret_cast<sixteen_bytes>(values == value3);
            count0 -= equal0;
            count1 -= equal1;
            count2 -= equal2;
            count3 -= equal3;
            // The common values are distinct: an entry equals one of them at
            // most. The others (0xFF bytes here) are counted one at a time.
            const sixteen_bytes others = ~(equal0 | equal1 | equal2 | equal3);
            std::uint64_t halves[2];
            std::memcpy(halves, &others, sizeof halves);
            for (unsigned half = 0; half < 2; ++half) {
                for (std::uint64_t left = halves[half]; left != 0;) {
                    // Little-endian: byte j of the half is entry 8 × half + j.
                    const unsigned first_bit = static_cast<unsigned>(std::countr_zero(left)) & ~7U;
                    ++counts.lanes[0][run[at + 8 * half + first_bit / 8]];
                    left &= ~(std::uint64_t{0xFF} << first_bit);
                }
            }
        }
        counts.common_counts[0] += byte_total(count0);
        counts.common_counts[1] += byte_total(count1);
        counts.common_counts[2] += byte_total(count2);
        counts.common_counts[3] += byte_total(count3);
    }
    count_one_at_a_time(counts, run + at, size - at);
}

// Chooses the common values from the window's counts, and whether to count
// them side by side.
void end_window(value_counts& counts)
{
    std::array<std::uint64_t, 256> in_window;
    for (unsigned value = 0; value < 256; ++value) {
        const std::uint64_t total = value_count(counts, static_cast<std::uint8_t>(value));
        in_window[value] = total - counts.at_window_start[value];
        counts.at_window_start[value] = total;
    }
    // The old common values' counts go to the lanes before the values change.
    for (unsigned k = 0; k < side_by_side_values; ++k) {
        counts.lanes[0][counts.common[k]] += counts.common_counts[k];
        counts.common_counts[k] = 0;
    }
    std::array<std::uint8_t, 256> values;
    std::iota(values.begin(), values.end(), std::uint8_t{0});
    std::partial_sort(values.begin(), values.begin() + side_by_side_values, values.end(),
                      [&in_window](std::uint8_t a, std::uint8_t b) {
                          return in_window[a] != in_window[b] ? in_window[a] > in_window[b] : a < b;
                      });
    std::uint64_t covered = 0;
    for (unsigned k = 0; k < side_by_side_values; ++k) {
        counts.common[k] = values[k];
        covered += in_window[values[k]];
    }
    counts.side_by_side = 4 * covered >= side_by_side_quarters * counts.window_entries;
    counts.window_entries = 0;
}

} // namespace

void start_counting(value_counts& counts)
{
    counts = value_counts{};
    // Distinct, as they must be; counted one at a time until a window has shown the common ones.
    std::iota(counts.common.begin(), counts.common.end(), std::uint8_t{0});
}

void count_values(value_counts& counts, const std::uint8_t* run, std::size_t size)
{
    if (counts.side_by_side) {
        count_side_by_side(counts, run, size);
    } else {
        count_one_at_a_time(counts, run, size);
    }
    counts.window_entries += size;
    if (counts.window_entries >= window_entries) {
        end_window(counts);
    }
}

std::uint64_t value_count(const value_counts& counts, std::uint8_t value)
{
    std::uint64_t total = 0;
    for (const auto& lane : counts.lanes) {
        total += lane[value];
    }
    for (unsigned k = 0; k < side_by_side_values; ++k) {
        total += counts.common[k] == value ? counts.common_counts[k] : 0;
    }
    return total;
}

} // namespace velmora

#include "inspect/value_counts.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>

#if defined(__SSE2__) && defined(__x86_64__)
#define VELMORA_SSE2_TOTALS 1
#include <emmintrin.h>
#else
#define VELMORA_SSE2_TOTALS 0
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
// Pairs of values, and entries counted by pairs before their counts are
// added to the lanes: a pair's count stays below 2^31.
constexpr std::size_t value_pairs = 65536;
constexpr std::uint64_t paired_entries_limit = std::uint64_t{1} << 32;

typedef std::uint8_t sixteen_bytes __attribute__((vector_size(16)));
static_assert(std::endian::native == std::endian::little, "byte j of a vector's halves is entry j of each half");

// The sum of the sixteen bytes.
std::uint64_t byte_total(sixteen_bytes bytes)
{
#if VELMORA_SSE2_TOTALS
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

// Adds the pairs' counts to the lanes and clears them.
void add_pairs(value_counts& counts)
{
    for (std::size_t pair = 0; pair < counts.pairs.size(); ++pair) {
        counts.lanes[0][pair & 0xFF] += counts.pairs[pair];
        counts.lanes[1][pair >> 8 & 0xFF] += counts.pairs[pair];
    }
    std::fill(counts.pairs.begin(), counts.pairs.end(), 0);
    counts.paired_entries = 0;
}

// Half as many stores as counting one at a time: where the values are
// spread, the stores are what counting costs.
void count_by_pairs(value_counts& counts, const std::uint8_t* run, std::size_t size)
{
    if (counts.paired_entries + size >= paired_entries_limit) {
        add_pairs(counts);
    }
    std::uint32_t* const first_lane = counts.pairs.data();
    std::uint32_t* const second_lane = first_lane + value_pairs;
    std::size_t at = 0;
    for (; size - at >= 8; at += 8) {
        std::uint64_t eight;
        std::memcpy(&eight, run + at, sizeof eight);
        // Little-endian: the first entry of each pair is its low byte.
        ++first_lane[eight & 0xFFFF];
        ++second_lane[eight >> 16 & 0xFFFF];
        ++first_lane[eight >> 32 & 0xFFFF];
        ++second_lane[eight >> 48];
        ++counts.sampled[eight & 0xFF];
    }
    counts.paired_entries += at;
    count_one_at_a_time(counts, run + at, size - at);
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
        // count0 ... count3 count each value's entries, byte lane j those
        // at place j of the sixteen (a compare gives 0xFF where equal:
        // subtracted, it adds 1).
        sixteen_bytes count0 = {};
        sixteen_bytes count1 = {};
        sixteen_bytes count2 = {};
        sixteen_bytes count3 = {};
        const std::size_t end = at + std::min(rounds_per_lane_total, (size - at) / 16) * 16;
        for (; at < end; at += 16) {
            sixteen_bytes values;
            std::memcpy(&values, run + at, sizeof values);
            const auto equal0 = reinterpret_cast<sixteen_bytes>(values == value0);
            count0 -= equal0;
            std::uint64_t first_halves[2];
            std::memcpy(first_halves, &equal0, sizeof first_halves);
            if ((first_halves[0] & first_halves[1]) == ~std::uint64_t{0}) {
                continue; // sixteen of the commonest value: a leader, a dense signal
            }
            const auto equal1 = reinterpret_cast<sixteen_bytes>(values == value1);
            const auto equal2 = reinterpret_cast<sixteen_bytes>(values == value2);
            const auto equal3 = reinterpret_cast<sixteen_bytes>(values == value3);
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

// The lanes' counts of `value`.
std::uint64_t lane_total(const value_counts& counts, unsigned value)
{
    std::uint64_t total = 0;
    for (const auto& lane : counts.lanes) {
        total += lane[value];
    }
    return total;
}

// Chooses the common values from the window's counts (of every eighth entry
// where they were counted by pairs), and whether to count them side by side.
void end_window(value_counts& counts)
{
    // The common values' counts go to the lanes before the values change.
    for (unsigned k = 0; k < side_by_side_values; ++k) {
        counts.lanes[0][counts.common[k]] += counts.common_counts[k];
        counts.common_counts[k] = 0;
    }
    std::array<std::uint64_t, 256> in_window;
    std::uint64_t window_count = 0;
    for (unsigned value = 0; value < 256; ++value) {
        const std::uint64_t total = lane_total(counts, value);
        const bool sampled = counts.mode == counting_mode::by_pairs;
        in_window[value] = sampled ? counts.sampled[value] : total - counts.at_window_start[value];
        window_count += in_window[value];
        counts.at_window_start[value] = total;
    }
    counts.sampled.fill(0);
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
    const bool few_values = window_count != 0 && 4 * covered >= side_by_side_quarters * window_count;
    counts.mode = few_values ? counting_mode::side_by_side : counting_mode::by_pairs;
    if (counts.mode == counting_mode::by_pairs && counts.pairs.empty()) {
        counts.pairs.assign(2 * value_pairs, 0);
    }
    counts.window_entries = 0;
}

} // namespace

void start_counting(value_counts& counts)
{
    counts = value_counts{};
    // Distinct, as they must be, though not counted side by side before a window has shown the common ones.
    std::iota(counts.common.begin(), counts.common.end(), std::uint8_t{0});
}

void count_values(value_counts& counts, const std::uint8_t* run, std::size_t size)
{
    switch (counts.mode) {
    case counting_mode::one_at_a_time:
        count_one_at_a_time(counts, run, size);
        break;
    case counting_mode::side_by_side:
        count_side_by_side(counts, run, size);
        break;
    case counting_mode::by_pairs:
        count_by_pairs(counts, run, size);
        break;
    }
    counts.window_entries += size;
    if (counts.window_entries >= window_entries) {
        end_window(counts);
    }
}

std::array<std::uint64_t, 256> value_totals(const value_counts& counts)
{
    std::array<std::uint64_t, 256> totals{};
    for (unsigned value = 0; value < 256; ++value) {
        totals[value] = lane_total(counts, value);
    }
    for (unsigned k = 0; k < side_by_side_values; ++k) {
        totals[counts.common[k]] += counts.common_counts[k];
    }
    for (std::size_t pair = 0; pair < counts.pairs.size(); ++pair) {
        totals[pair & 0xFF] += counts.pairs[pair];
        totals[pair >> 8 & 0xFF] += counts.pairs[pair];
    }
    return totals;
}

} // namespace velmora

// The vector scan for x86-64 CPUs with AVX2, BMI1, BMI2, LZCNT and POPCNT.
// Only the functions marked with the target attribute use those
// instructions, and they run only after cpu_runs_x86_64_v3() said yes, so
// the rest of the program stays runnable on any x86-64 CPU.
//
// A chunk takes three passes:
// 1. edge masks: each 64-sample word in sample order (its k-th sample in
//    bit k), compared with itself shifted by one sample (the last sample of
//    the word before coming in at the bottom);
// 2. edge positions: the sample index of every set bit of every mask, in
//    order. Four words at a time are taken as eight lanes of 32 samples;
//    the lowest edge of every lane is isolated and its index read off the
//    exponent of its value converted to a float, five times, which covers
//    the lanes of a tape signal (more edges in 32 samples means phases of
//    fewer than 6.4 samples on average). Each lane's indices are then
//    stored at once, the next lane's overwriting those past the lane's
//    edges. Four words with a lane of more edges (dense signals) take their
//    positions a byte at a time from a table;
// 3. entries: the phase lengths, differences of neighbouring positions,
//    sixteen at a time; when all their values fit in one byte they are
//    scaled in vector lanes and stored at once, else edge by edge with the
//    exact formulas.
// The first edge of a chunk, which may close a phase carried from earlier
// chunks, always takes the exact path.
#include "signal/scan_paths.h"

#if VELMORA_X86_64_V3_SCAN

#include "signal/one_byte_scaling.h"
#include "signal/sample_words.h"
#include "signal/vector_scan_common.h"

#include <algorithm>
#include <bit>
#include <cpuid.h>
#include <cstring>
#include <immintrin.h>

#define VELMORA_X86_64_V3 __attribute__((target("avx2,bmi,bmi2,lzcnt,popcnt")))

namespace velmora {
namespace {

constexpr std::size_t max_chunk_words = max_chunk_bytes / 8;
constexpr std::size_t max_chunk_samples = max_chunk_bytes * 8;
static_assert(max_chunk_samples <= 0xFFFF, "a sample index within a chunk fits in 16 bits, with one value spare");

// Words are grouped by four, one 256-bit vector: the group of word w is
// w / 4. Pass 2 takes a group as eight lanes of 32 samples.
constexpr unsigned words_per_group = 4;
constexpr unsigned lanes_per_group = 8;
constexpr unsigned samples_per_lane = 32;
static_assert(max_chunk_words % words_per_group == 0, "a chunk's masks fill whole groups");
static_assert(max_chunk_words / words_per_group <= 64, "one bit per group in a 64-bit word");
// Edges of a lane taken by isolating its lowest one; a lane with more sends
// its group down the byte-at-a-time path.
constexpr unsigned edges_per_lane = 5;
// Pass 2 stores eight positions (16 bytes) for every lane and for every
// byte of a group taken a byte at a time; the next store overwrites those
// past the last edge. Pass 3 reads sixteen positions at a time.
constexpr unsigned positions_per_lane_store = 8;
constexpr unsigned lengths_per_store = 16;
static_assert(edges_per_lane <= positions_per_lane_store, "a lane's edges fit in one store");
// Room past the last position for such stores and reads.
constexpr std::size_t position_slack = lengths_per_store;
static_assert(positions_per_lane_store <= position_slack, "the stores of a lane stay within the slack");
static_assert(pulse_output_capacity >= max_chunk_samples + tap_max_entry_size + lengths_per_store,
              "one byte per edge, a 4-byte first entry, and a whole group's bytes stored past the last");

// A float's exponent field holds the power of two it stands for plus this.
constexpr int float_exponent_bias = 127;

// Pass 1: the edge mask of every word of the chunk into `masks`, a set bit k
// marking an edge at the word's sample k; `level` is the level before the
// chunk. The last word may be partial: its missing samples hold no edge.
// Masks are written up to the end of the last group, zero past the chunk.
// Returns which groups of words hold an edge, group g in bit g, so that the
// words of a long phase cost nothing more.
VELMORA_X86_64_V3 std::uint64_t find_edge_masks(const std::uint8_t* samples, std::size_t length, std::uint64_t level,
                                                std::uint64_t* masks)
{
    std::uint64_t groups = 0;
    const std::size_t full_words = length / 8;
    std::size_t word = 0;
    // Each byte's bits reversed by looking up each half in a table.
    const __m256i reversed_nibbles = _mm256_setr_epi8(0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15, 0, 8, 4,
                                                      12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15);
    const __m256i low_nibbles = _mm256_set1_epi8(0x0F);
    // Four words at a time. Each lane takes the last sample of the lane
    // before; lane 0 takes it from lane 3 of the previous four words.
    __m256i previous = _mm256_set1_epi64x(static_cast<long long>(level << 63));
    for (; word + words_per_group <= full_words; word += words_per_group) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(samples + 8 * word));
        const __m256i low = _mm256_shuffle_epi8(reversed_nibbles, _mm256_and_si256(bytes, low_nibbles));
        const __m256i high =
            _mm256_shuffle_epi8(reversed_nibbles, _mm256_and_si256(_mm256_srli_epi16(bytes, 4), low_nibbles));
        const __m256i words = _mm256_or_si256(_mm256_slli_epi16(low, 4), high);
        // Lanes 3, 0, 1, 2: each lane now holds the word before it.
        const __m256i rotated = _mm256_permute4x64_epi64(words, 0x93);
        const __m256i before = _mm256_blend_epi32(rotated, previous, 0x03);
        const __m256i shifted = _mm256_or_si256(_mm256_slli_epi64(words, 1), _mm256_srli_epi64(before, 63));
        const __m256i edges = _mm256_xor_si256(words, shifted);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(masks + word), edges);
        groups |= static_cast<std::uint64_t>(_mm256_testz_si256(edges, edges) == 0) << (word / words_per_group);
        previous = rotated;
    }
    std::uint64_t last_sample = static_cast<std::uint64_t>(_mm256_extract_epi64(previous, 0)) >> 63;
    for (; 8 * word < length; ++word) {
        const std::size_t size = std::min<std::size_t>(8, length - 8 * word);
        const std::uint64_t bits = sample_word(samples + 8 * word, size);
        const std::uint64_t valid = ~std::uint64_t{0} >> (64 - 8 * size);
        masks[word] = (bits ^ ((bits << 1) | last_sample)) & valid;
        groups |= static_cast<std::uint64_t>(masks[word] != 0) << (word / words_per_group);
        last_sample = bits >> 63;
    }
    for (; word % words_per_group != 0; ++word) {
        masks[word] = 0;
    }
    return groups;
}

// The positions of the edges of the group whose first word is masks[0] and
// whose first sample is at `base`, a byte at a time: for any number of edges.
// Stores them from `end` on and returns the new end; stores up to
// positions_per_lane_store − 1 positions past it.
VELMORA_X86_64_V3 std::uint16_t* group_positions_by_bytes(const std::uint64_t* masks, unsigned base,
                                                          std::uint16_t* end)
{
    for (unsigned word = 0; word < words_per_group; ++word) {
        for (unsigned byte = 0; byte < 8; ++byte) {
            const auto bits = static_cast<unsigned>(masks[word] >> (8 * byte)) & 0xFFU;
            const __m128i indices =
                _mm_cvtepu8_epi16(_mm_cvtsi64_si128(static_cast<long long>(low_first_byte_edges.indices[bits])));
            const __m128i first = _mm_set1_epi16(static_cast<short>(base + 64 * word + 8 * byte));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(end), _mm_add_epi16(indices, first));
            end += _mm_popcnt_u32(bits);
        }
    }
    return end;
}

// Pass 2 packs each lane's edge indices into 8 bytes, lanes 0, 1, 4, 5 in one
// vector and 2, 3, 6, 7 in the other. A byte holds the exponent of a power of
// two, the edge's index in its lane plus the float bias; adding the lane's
// first sample less that bias (modulo 256) gives its index in the group.
// These are the bytes to add for the four lanes of one vector.
VELMORA_X86_64_V3 __m256i lane_start_bytes(unsigned first, unsigned second, unsigned third, unsigned fourth)
{
    const auto start = [](unsigned lane) {
        return static_cast<char>(static_cast<int>(samples_per_lane * lane) - float_exponent_bias);
    };
    const char a = start(first);
    const char b = start(second);
    const char c = start(third);
    const char d = start(fourth);
    return _mm256_setr_epi8(a, a, a, a, a, a, a, a, b, b, b, b, b, b, b, b, c, c, c, c, c, c, c, c, d, d, d, d, d, d,
                            d, d);
}

// Pass 2: the sample index within the chunk of every edge, in order, into
// `positions`, which must have room for position_slack more than the number
// of edges. Only the groups of words marked in `groups` are looked at; the
// masks must fill whole groups. Returns the number of edges.
VELMORA_X86_64_V3 std::size_t find_edge_positions(const std::uint64_t* masks, std::uint64_t groups,
                                                  std::uint16_t* positions)
{
    std::uint16_t* end = positions;
    const __m256i zero = _mm256_setzero_si256();
    const __m256i lanes_0145 = lane_start_bytes(0, 1, 4, 5);
    const __m256i lanes_2367 = lane_start_bytes(2, 3, 6, 7);
    alignas(32) std::uint16_t lane_positions[lanes_per_group * positions_per_lane_store];
    for (; groups != 0; groups &= groups - 1) {
        const auto group = static_cast<unsigned>(std::countr_zero(groups));
        const std::uint64_t* const group_masks = masks + words_per_group * group;
        const unsigned base = group * words_per_group * 64;
        __m256i rest = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(group_masks));
        // The exponent of each isolated edge, shifted up to the top byte of
        // its lane; the rest of a power of two's bits are zero, and so is a
        // lane without an edge.
        __m256i exponents[edges_per_lane];
#pragma GCC unroll 8
        for (unsigned edge = 0; edge < edges_per_lane; ++edge) {
            const __m256i lowest = _mm256_and_si256(rest, _mm256_sub_epi32(zero, rest));
            rest = _mm256_xor_si256(rest, lowest);
            // The top lane bit converts to −2^31: doubling drops the sign.
            const __m256i power = _mm256_castps_si256(_mm256_cvtepi32_ps(lowest));
            exponents[edge] = _mm256_add_epi32(power, power);
        }
        if (_mm256_testz_si256(rest, rest) == 0) {
            end = group_positions_by_bytes(group_masks, base, end);
            continue;
        }
        static_assert(edges_per_lane == 5, "four exponents to a 32-bit lane, the fifth beside them");
        const __m256i first_four =
            _mm256_or_si256(_mm256_or_si256(_mm256_srli_epi32(exponents[0], 24), _mm256_srli_epi32(exponents[1], 16)),
                            _mm256_or_si256(_mm256_srli_epi32(exponents[2], 8), exponents[3]));
        const __m256i fifth = _mm256_srli_epi32(exponents[4], 24);
        const __m256i bytes_0145 = _mm256_add_epi8(_mm256_unpacklo_epi32(first_four, fifth), lanes_0145);
        const __m256i bytes_2367 = _mm256_add_epi8(_mm256_unpackhi_epi32(first_four, fifth), lanes_2367);
        // An index in the chunk is the group's number times 256 plus the
        // index in the group: the group's number is the high byte of every
        // 16-bit index. Lanes 0 to 3 land in the low halves, 4 to 7 in the
        // high halves of the four vectors.
        static_assert(words_per_group * 64 == 256, "an index in the group is one byte");
        const __m256i group_number = _mm256_set1_epi8(static_cast<char>(group));
        auto* const lane_vectors = reinterpret_cast<__m256i*>(lane_positions);
        _mm256_store_si256(lane_vectors + 0, _mm256_unpacklo_epi8(bytes_0145, group_number));
        _mm256_store_si256(lane_vectors + 1, _mm256_unpackhi_epi8(bytes_0145, group_number));
        _mm256_store_si256(lane_vectors + 2, _mm256_unpacklo_epi8(bytes_2367, group_number));
        _mm256_store_si256(lane_vectors + 3, _mm256_unpackhi_epi8(bytes_2367, group_number));
#pragma GCC unroll 8
        for (unsigned lane = 0; lane < lanes_per_group; ++lane) {
            const unsigned vector = lane % 4;
            const unsigned half = lane / 4;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(end),
                             _mm_load_si128(reinterpret_cast<const __m128i*>(lane_positions) + 2 * vector + half));
            std::uint32_t lane_mask = 0;
            std::memcpy(&lane_mask, reinterpret_cast<const unsigned char*>(group_masks) + 4 * lane, sizeof lane_mask);
            end += _mm_popcnt_u32(lane_mask);
        }
    }
    return static_cast<std::size_t>(end - positions);
}

// The lengths of the phases closed by edges i to i + 15, in 16-bit lanes.
VELMORA_X86_64_V3 inline __m256i phase_lengths(const std::uint16_t* positions, std::size_t i)
{
    const __m256i ends = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(positions + i));
    const __m256i starts = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(positions + i - 1));
    return _mm256_sub_epi16(ends, starts);
}

// Pass 3, version 2: one entry per edge from index `first` on; sixteen
// phases at a time in 16-bit lanes when all their values fit in one byte.
VELMORA_X86_64_V3 std::uint8_t* half_wave_entries(std::uint8_t* out, const std::uint16_t* positions,
                                                   std::size_t first, std::size_t edges, std::uint8_t period)
{
    full_waves unused{0, 0};
    const auto factor = static_cast<std::uint16_t>(half_wave_factor * period);
    const __m256i limit = _mm256_set1_epi16(static_cast<short>(one_byte_half_wave_limit(period)));
    const __m256i factors = _mm256_set1_epi16(static_cast<short>(factor));
    const __m256i bias = _mm256_set1_epi16(static_cast<short>(half_wave_bias));
    const __m256i magic = _mm256_set1_epi16(static_cast<short>(half_wave_magic));
    const __m256i one = _mm256_set1_epi16(1);
    std::size_t i = first;
    while (i < edges) {
        // The last group may be short: its lanes past the last edge hold
        // phases of 0 samples, which fit, and the bytes stored for them are
        // not counted.
        const std::size_t count = std::min<std::size_t>(lengths_per_store, edges - i);
        const __m256i shorter = phase_lengths(positions, i);
        const __m256i within = _mm256_cmpeq_epi16(_mm256_max_epu16(shorter, limit), limit);
        if (_mm256_movemask_epi8(within) != -1) {
            out = exact_entries<true>(out, positions, i, i + count, 0, period, unused);
            i += count;
            continue;
        }
        const __m256i scaled = _mm256_add_epi16(_mm256_mullo_epi16(shorter, factors), bias);
        const __m256i values = _mm256_srli_epi16(_mm256_mulhi_epu16(scaled, magic), half_wave_shift);
        // A value of 0 is stored as 1.
        const __m256i stored = _mm256_max_epu16(values, one);
        const __m128i bytes =
            _mm_packus_epi16(_mm256_castsi256_si128(stored), _mm256_extracti128_si256(stored, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
        out += count;
        i += count;
    }
    return out;
}

// Pass 3, version 1: from the rising edge at index `first` on, one entry per
// rising edge and a symmetry check per falling one; eight full waves (sixteen
// edges) at a time in 32-bit lanes when all their values fit in one byte.
VELMORA_X86_64_V3 std::uint8_t* full_wave_entries(std::uint8_t* out, const std::uint16_t* positions,
                                                   std::size_t first, std::size_t edges, std::uint8_t period,
                                                   full_waves& waves)
{
    const std::size_t rising_parity = first & 1U;
    const __m256i limit = _mm256_set1_epi32(one_byte_full_wave_limit(period));
    const __m256i factor = _mm256_set1_epi32(static_cast<int>(full_wave_factor * period));
    const __m256i bias = _mm256_set1_epi32(static_cast<int>(full_wave_bias));
    const __m256i magic = _mm256_set1_epi32(static_cast<int>(full_wave_magic));
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i low_half = _mm256_set1_epi32(0xFFFF);
    const __m256i four = _mm256_set1_epi32(4);
    // The low byte of each 32-bit lane to the front of its 128-bit half, then
    // the two halves' first four bytes side by side.
    const __m256i low_bytes = _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 4, 8,
                                               12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i halves = _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 0, 0);
    std::size_t i = first;
    while (edges - i >= 2) {
        // Lane j holds the low phase closed by the rising edge i + 2j in its
        // low half and the high phase closed by the falling edge after it in
        // its high half. The last group may be short: its lanes past the last
        // whole wave are not counted; all but one of them hold phases of 0
        // samples, and that one perhaps a rising edge alone.
        const std::size_t count = std::min<std::size_t>(lengths_per_store / 2, (edges - i) / 2);
        const unsigned counted = (1U << count) - 1;
        const __m256i pairs = phase_lengths(positions, i);
        const __m256i lows = _mm256_and_si256(pairs, low_half);
        const __m256i highs = _mm256_srli_epi32(pairs, 16);
        const __m256i longer = _mm256_cmpgt_epi32(lows, limit);
        const auto too_long = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(longer)));
        if ((too_long & counted) != 0) {
            out = exact_entries<false>(out, positions, i, i + 2 * count, rising_parity, period, waves);
            i += 2 * count;
            continue;
        }
        const __m256i scaled = _mm256_add_epi32(_mm256_mullo_epi32(lows, factor), bias);
        const __m256i sixteenths = _mm256_srli_epi32(scaled, full_wave_pre_shift);
        const __m256i values = _mm256_srli_epi32(_mm256_mullo_epi32(sixteenths, magic), full_wave_shift);
        const __m256i stored = _mm256_max_epu32(values, one);
        const __m256i packed = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(stored, low_bytes), halves);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
        out += count;
        // Asymmetric: high − low, wrapping, above 3, i.e. at least 4.
        const __m256i difference = _mm256_sub_epi32(highs, lows);
        const __m256i asymmetric = _mm256_cmpeq_epi32(_mm256_min_epu32(difference, four), four);
        waves.asymmetric += static_cast<std::uint64_t>(_mm_popcnt_u32(
            static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(asymmetric))) & counted));
        i += 2 * count;
        waves.low_length = phase_length(positions, i - 2);
    }
    // A rising edge whose falling edge lies in a later chunk.
    return exact_entries<false>(out, positions, i, edges, rising_parity, period, waves);
}

// The passes of this scan, for three_pass_scan.
struct x86_64_v3_passes {
    static constexpr std::size_t position_slack = velmora::position_slack;
    static constexpr auto edge_masks = find_edge_masks;
    static constexpr auto edge_positions = find_edge_positions;
    static constexpr auto half_wave_entries = velmora::half_wave_entries;
    static constexpr auto full_wave_entries = velmora::full_wave_entries;
};

} // namespace

bool cpu_runs_x86_64_v3()
{
    __builtin_cpu_init();
    // LZCNT is asked of CPUID directly: not every compiler knows its name.
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    const bool lzcnt = __get_cpuid(0x80000001U, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_LZCNT) != 0;
    return lzcnt && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
           __builtin_cpu_supports("bmi2") &&
           __builtin_cpu_supports("popcnt");
}

std::size_t convert_chunk_x86_64_v3(const std::uint8_t* samples, std::size_t length, std::uint8_t period,
                                    wave_kind waves, pulse_state& state, std::uint8_t* out)
{
    return three_pass_convert<x86_64_v3_passes>(samples, length, period, waves, state, out);
}

} // namespace velmora

#endif

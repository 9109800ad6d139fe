// The vector scan for WebAssembly with 128-bit SIMD, the browser page's
// scan. A module built with it runs only where the engine knows SIMD128:
// the whole module is refused elsewhere, so there is nothing to detect at
// run time.
//
// A chunk takes the three passes of the x86-64-v3 scan, at half its width:
// 1. edge masks: each 64-sample word in sample order (its k-th sample in
//    bit k), compared with itself shifted by one sample (the last sample of
//    the word before coming in at the bottom), two words at a time;
// 2. edge positions: four words make a group of eight lanes of 32 samples,
//    taken four lanes at a time; the lowest edge of every lane is isolated
//    and its index read off the exponent of its value converted to a float,
//    five times. Each lane's indices are then stored at once, the next
//    lane's overwriting those past the lane's edges. A group with a lane of
//    more edges takes its positions a byte at a time from a table;
// 3. entries: the phase lengths, differences of neighbouring positions,
//    eight at a time; when all their values fit in one byte they are scaled
//    in vector lanes and stored at once, else edge by edge with the exact
//    formulas.
// The first edge of a chunk, which may close a phase carried from earlier
// chunks, always takes the exact path.
#include "signal/scan_paths.h"

#if VELMORA_WASM_SIMD128_SCAN

#include "signal/one_byte_scaling.h"
#include "signal/sample_words.h"
#include "signal/vector_scan_common.h"

#include <algorithm>
#include <bit>
#include <wasm_simd128.h>

namespace velmora {
namespace {

constexpr std::size_t max_chunk_words = max_chunk_bytes / 8;
constexpr std::size_t max_chunk_samples = max_chunk_bytes * 8;
static_assert(max_chunk_samples <= 0xFFFF, "a sample index within a chunk fits in 16 bits, with one value spare");

// Two words to a vector; a group of four words, two vectors, is the unit of
// pass 2, and one bit of the groups' mask.
constexpr unsigned words_per_vector = 2;
constexpr unsigned words_per_group = 4;
constexpr unsigned lanes_per_vector = 4;
constexpr unsigned samples_per_lane = 32;
static_assert(max_chunk_words % words_per_group == 0, "a chunk's masks fill whole groups");
static_assert(max_chunk_words / words_per_group <= 64, "one bit per group in a 64-bit word");
static_assert(words_per_group * 64 == 256, "an index in the group is one byte, the group's number the other");
// Edges of a lane taken by isolating its lowest one; a lane with more sends
// its group down the byte-at-a-time path.
constexpr unsigned edges_per_lane = 5;
// Pass 2 stores eight positions (16 bytes) for every lane and for every
// byte of a group taken a byte at a time; the next store overwrites those
// past the last edge. Pass 3 reads eight positions at a time.
constexpr unsigned positions_per_lane_store = 8;
constexpr unsigned lengths_per_store = 8;
static_assert(edges_per_lane <= positions_per_lane_store, "a lane's edges fit in one store");
constexpr std::size_t position_slack = std::max(positions_per_lane_store, lengths_per_store);
static_assert(pulse_output_capacity >= max_chunk_samples + tap_max_entry_size + lengths_per_store,
              "one byte per edge, a 4-byte first entry, and a whole group's bytes stored past the last");

// A float's exponent field holds the power of two it stands for plus this.
constexpr int float_exponent_bias = 127;

// Pass 1: the edge mask of every word of the chunk into `masks`, a set bit k
// marking an edge at the word's sample k; `level` is the level before the
// chunk. The last word may be partial: its missing samples hold no edge.
// Masks are written up to the end of the last group, zero past the chunk.
// Returns which groups of words hold an edge, group g in bit g.
std::uint64_t find_edge_masks(const std::uint8_t* samples, std::size_t length, std::uint64_t level,
                              std::uint64_t* masks)
{
    std::uint64_t groups = 0;
    const std::size_t full_words = length / 8;
    std::size_t word = 0;
    // Each byte's bits reversed by looking up each half in a table.
    const v128_t reversed_nibbles = wasm_i8x16_const(0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15);
    const v128_t low_nibbles = wasm_i8x16_splat(0x0F);
    // Lane 1 of `previous` is the word before the two at hand.
    v128_t previous = wasm_i64x2_splat(static_cast<std::int64_t>(level << 63));
    for (; word + words_per_vector <= full_words; word += words_per_vector) {
        const v128_t bytes = wasm_v128_load(samples + 8 * word);
        const v128_t low = wasm_i8x16_swizzle(reversed_nibbles, wasm_v128_and(bytes, low_nibbles));
        const v128_t high = wasm_i8x16_swizzle(reversed_nibbles, wasm_u8x16_shr(bytes, 4));
        const v128_t words = wasm_v128_or(wasm_i8x16_shl(low, 4), high);
        const v128_t before = wasm_i64x2_shuffle(previous, words, 1, 2);
        const v128_t shifted = wasm_v128_or(wasm_i64x2_shl(words, 1), wasm_u64x2_shr(before, 63));
        const v128_t edges = wasm_v128_xor(words, shifted);
        wasm_v128_store(masks + word, edges);
        groups |= static_cast<std::uint64_t>(wasm_v128_any_true(edges)) << (word / words_per_group);
        previous = words;
    }
    std::uint64_t last_sample = wasm_u64x2_extract_lane(previous, 1) >> 63;
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
std::uint16_t* group_positions_by_bytes(const std::uint64_t* masks, unsigned base, std::uint16_t* end)
{
    for (unsigned word = 0; word < words_per_group; ++word) {
        for (unsigned byte = 0; byte < 8; ++byte) {
            const auto bits = static_cast<unsigned>(masks[word] >> (8 * byte)) & 0xFFU;
            const v128_t indices = wasm_u16x8_load8x8(&low_first_byte_edges.indices[bits]);
            const v128_t first = wasm_i16x8_splat(static_cast<std::int16_t>(base + 64 * word + 8 * byte));
            wasm_v128_store(end, wasm_i16x8_add(indices, first));
            end += std::popcount(bits);
        }
    }
    return end;
}

// The exponents of the lowest edges of each 32-bit lane of `rest`, five
// times, packed: in each 64-bit half of the result, the five of its lane
// pair's first lane, three bytes to spare, then those of its second lane.
// A byte holds the edge's index in its lane plus the float bias; a lane
// without so many edges gives bytes of 0 past them. `rest` keeps the edges
// left over.
struct lane_exponents {
    v128_t first_pair;  // lanes 0 and 1
    v128_t second_pair; // lanes 2 and 3
};

lane_exponents lowest_edge_exponents(v128_t& rest)
{
    v128_t exponents[edges_per_lane];
    for (unsigned edge = 0; edge < edges_per_lane; ++edge) {
        const v128_t lowest = wasm_v128_and(rest, wasm_i32x4_neg(rest));
        rest = wasm_v128_xor(rest, lowest);
        // The top lane bit converts to −2^31: doubling drops the sign, and
        // leaves the exponent in the top byte, the rest of the lane zero.
        const v128_t power = wasm_f32x4_convert_i32x4(lowest);
        exponents[edge] = wasm_i32x4_add(power, power);
    }
    static_assert(edges_per_lane == 5, "four exponents to a 32-bit lane, the fifth beside them");
    const v128_t first_four =
        wasm_v128_or(wasm_v128_or(wasm_u32x4_shr(exponents[0], 24), wasm_u32x4_shr(exponents[1], 16)),
                     wasm_v128_or(wasm_u32x4_shr(exponents[2], 8), exponents[3]));
    const v128_t fifth = wasm_u32x4_shr(exponents[4], 24);
    return {wasm_i32x4_shuffle(first_four, fifth, 0, 4, 1, 5), wasm_i32x4_shuffle(first_four, fifth, 2, 6, 3, 7)};
}

// The bytes to add to a lane pair's exponents to make them indices in the
// group: the pair's lanes' first samples less the float bias, modulo 256.
v128_t lane_pair_starts(unsigned first_lane)
{
    const auto start = [](unsigned lane) {
        return static_cast<std::int8_t>(static_cast<int>(samples_per_lane * lane) - float_exponent_bias);
    };
    const std::int8_t a = start(first_lane);
    const std::int8_t b = start(first_lane + 1);
    return wasm_i8x16_make(a, a, a, a, a, a, a, a, b, b, b, b, b, b, b, b);
}

// Stores the positions of a lane pair, `indices` its indices in the group
// from lowest_edge_exponents plus lane_pair_starts, `group_number` the
// group's number in every byte; `lane_masks` are the pair's two masks.
std::uint16_t* put_lane_pair(v128_t indices, v128_t group_number, std::uint64_t lane_masks, std::uint16_t* end)
{
    // The index in the chunk: the group's number the high byte, the index
    // in the group the low one.
    wasm_v128_store(end, wasm_i8x16_shuffle(indices, group_number, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22,
                                            7, 23));
    end += std::popcount(static_cast<std::uint32_t>(lane_masks));
    wasm_v128_store(end, wasm_i8x16_shuffle(indices, group_number, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29,
                                            14, 30, 15, 31));
    end += std::popcount(static_cast<std::uint32_t>(lane_masks >> 32));
    return end;
}

// Pass 2: the sample index within the chunk of every edge, in order, into
// `positions`, which must have room for position_slack more than the number
// of edges. Only the groups of words marked in `groups` are looked at; the
// masks must fill whole groups. Returns the number of edges.
std::size_t find_edge_positions(const std::uint64_t* masks, std::uint64_t groups, std::uint16_t* positions)
{
    std::uint16_t* end = positions;
    const v128_t starts[4] = {lane_pair_starts(0), lane_pair_starts(2), lane_pair_starts(4), lane_pair_starts(6)};
    for (; groups != 0; groups &= groups - 1) {
        const auto group = static_cast<unsigned>(std::countr_zero(groups));
        const std::uint64_t* const group_masks = masks + words_per_group * group;
        const unsigned base = group * words_per_group * 64;
        v128_t low_rest = wasm_v128_load(group_masks);
        v128_t high_rest = wasm_v128_load(group_masks + words_per_vector);
        const lane_exponents low = lowest_edge_exponents(low_rest);
        const lane_exponents high = lowest_edge_exponents(high_rest);
        if (wasm_v128_any_true(wasm_v128_or(low_rest, high_rest))) {
            end = group_positions_by_bytes(group_masks, base, end);
            continue;
        }
        static_assert(lanes_per_vector * 2 * samples_per_lane == 256, "the group's number is the high byte");
        const v128_t group_number = wasm_i8x16_splat(static_cast<std::int8_t>(group));
        end = put_lane_pair(wasm_i8x16_add(low.first_pair, starts[0]), group_number, group_masks[0], end);
        end = put_lane_pair(wasm_i8x16_add(low.second_pair, starts[1]), group_number, group_masks[1], end);
        end = put_lane_pair(wasm_i8x16_add(high.first_pair, starts[2]), group_number, group_masks[2], end);
        end = put_lane_pair(wasm_i8x16_add(high.second_pair, starts[3]), group_number, group_masks[3], end);
    }
    return static_cast<std::size_t>(end - positions);
}

// The lengths of the phases closed by edges i to i + 7, in 16-bit lanes.
inline v128_t phase_lengths(const std::uint16_t* positions, std::size_t i)
{
    return wasm_i16x8_sub(wasm_v128_load(positions + i), wasm_v128_load(positions + i - 1));
}

// Pass 3, version 2: one entry per edge from index `first` on; eight phases
// at a time in 16-bit lanes when all their values fit in one byte.
std::uint8_t* half_wave_entries(std::uint8_t* out, const std::uint16_t* positions, std::size_t first,
                                std::size_t edges, std::uint8_t period)
{
    full_waves unused{0, 0};
    const auto factor = static_cast<std::uint16_t>(half_wave_factor * period);
    const v128_t limit = wasm_u16x8_splat(one_byte_half_wave_limit(period));
    const v128_t factors = wasm_u16x8_splat(factor);
    const v128_t bias = wasm_u16x8_splat(half_wave_bias);
    const v128_t magic = wasm_u16x8_splat(half_wave_magic);
    const v128_t one = wasm_u16x8_splat(1);
    std::size_t i = first;
    while (i < edges) {
        // The last group may be short: its lanes past the last edge hold
        // phases of 0 samples, which fit, and the bytes stored for them are
        // not counted.
        const std::size_t count = std::min<std::size_t>(lengths_per_store, edges - i);
        const v128_t lengths = phase_lengths(positions, i);
        if (!wasm_i16x8_all_true(wasm_u16x8_le(lengths, limit))) {
            out = exact_entries<true>(out, positions, i, i + count, 0, period, unused);
            i += count;
            continue;
        }
        const v128_t scaled = wasm_i16x8_add(wasm_i16x8_mul(lengths, factors), bias);
        // The high 16 bits of each product, shifted on by half_wave_shift.
        constexpr unsigned high_shift = 16 + half_wave_shift;
        const v128_t low_values = wasm_u32x4_shr(wasm_u32x4_extmul_low_u16x8(scaled, magic), high_shift);
        const v128_t high_values = wasm_u32x4_shr(wasm_u32x4_extmul_high_u16x8(scaled, magic), high_shift);
        // A value of 0 is stored as 1.
        const v128_t stored = wasm_u16x8_max(wasm_u16x8_narrow_i32x4(low_values, high_values), one);
        wasm_v128_store64_lane(out, wasm_u8x16_narrow_i16x8(stored, stored), 0);
        out += count;
        i += count;
    }
    return out;
}

// Pass 3, version 1: from the rising edge at index `first` on, one entry per
// rising edge and a symmetry check per falling one; four full waves (eight
// edges) at a time in 32-bit lanes when all their values fit in one byte.
std::uint8_t* full_wave_entries(std::uint8_t* out, const std::uint16_t* positions, std::size_t first,
                                std::size_t edges, std::uint8_t period, full_waves& waves)
{
    const std::size_t rising_parity = first & 1U;
    const v128_t limit = wasm_i32x4_splat(one_byte_full_wave_limit(period));
    const v128_t factor = wasm_u32x4_splat(full_wave_factor * period);
    const v128_t bias = wasm_u32x4_splat(full_wave_bias);
    const v128_t magic = wasm_u32x4_splat(full_wave_magic);
    const v128_t one = wasm_u32x4_splat(1);
    const v128_t low_half = wasm_u32x4_splat(0xFFFF);
    const v128_t four = wasm_u32x4_splat(4);
    std::size_t i = first;
    while (edges - i >= 2) {
        // Lane j holds the low phase closed by the rising edge i + 2j in its
        // low half and the high phase closed by the falling edge after it in
        // its high half. The last group may be short: its lanes past the last
        // whole wave are not counted; all but one of them hold phases of 0
        // samples, and that one perhaps a rising edge alone.
        const std::size_t count = std::min<std::size_t>(lengths_per_store / 2, (edges - i) / 2);
        const unsigned counted = (1U << count) - 1;
        const v128_t pairs = phase_lengths(positions, i);
        const v128_t lows = wasm_v128_and(pairs, low_half);
        const v128_t highs = wasm_u32x4_shr(pairs, 16);
        const auto too_long = static_cast<unsigned>(wasm_i32x4_bitmask(wasm_i32x4_gt(lows, limit)));
        if ((too_long & counted) != 0) {
            out = exact_entries<false>(out, positions, i, i + 2 * count, rising_parity, period, waves);
            i += 2 * count;
            continue;
        }
        const v128_t scaled = wasm_i32x4_add(wasm_i32x4_mul(lows, factor), bias);
        const v128_t sixteenths = wasm_u32x4_shr(scaled, full_wave_pre_shift);
        const v128_t values = wasm_u32x4_shr(wasm_i32x4_mul(sixteenths, magic), full_wave_shift);
        const v128_t stored = wasm_u32x4_max(values, one);
        wasm_v128_store32_lane(out, wasm_i8x16_shuffle(stored, stored, 0, 4, 8, 12, 0, 4, 8, 12, 0, 4, 8, 12, 0, 4, 8,
                                                       12),
                               0);
        out += count;
        // Asymmetric: high − low, wrapping, above 3, i.e. at least 4.
        const v128_t difference = wasm_i32x4_sub(highs, lows);
        const v128_t asymmetric = wasm_i32x4_eq(wasm_u32x4_min(difference, four), four);
        waves.asymmetric += static_cast<std::uint64_t>(
            std::popcount(static_cast<unsigned>(wasm_i32x4_bitmask(asymmetric)) & counted));
        i += 2 * count;
        waves.low_length = phase_length(positions, i - 2);
    }
    // A rising edge whose falling edge lies in a later chunk.
    return exact_entries<false>(out, positions, i, edges, rising_parity, period, waves);
}

// The passes of this scan, for three_pass_scan.
struct wasm_simd128_passes {
    static constexpr std::size_t position_slack = velmora::position_slack;
    static constexpr auto edge_masks = find_edge_masks;
    static constexpr auto edge_positions = find_edge_positions;
    static constexpr auto half_wave_entries = velmora::half_wave_entries;
    static constexpr auto full_wave_entries = velmora::full_wave_entries;
};

} // namespace

std::size_t convert_chunk_wasm_simd128(const std::uint8_t* samples, std::size_t length, std::uint8_t period,
                                       wave_kind waves, pulse_state& state, std::uint8_t* out)
{
    return three_pass_convert<wasm_simd128_passes>(samples, length, period, waves, state, out);
}

} // namespace velmora

#endif

// The vector scan for x86-64 CPUs with AVX2, BMI1, BMI2, LZCNT and POPCNT.
// Only the functions marked with the target attribute use those
// instructions, and they run only after cpu_runs_x86_64_v3() said yes, so
// the rest of the program stays runnable on any x86-64 CPU.
//
// A chunk takes three passes:
// 1. edge masks: each 64-sample word, byte-swapped so that its earliest
//    sample is in the top bit, compared with itself shifted by one sample
//    (the last sample of the word before coming in at the top);
// 2. phase lengths: for every set bit of every mask, the number of samples
//    since the edge before it, found by counting leading zeros of the mask
//    shifted past that edge (seven stored per word without looking, which
//    covers 99 % of the words of a tape signal) or, in a word with more
//    edges, from the positions of its edges found a byte at a time;
// 3. entries: the phase lengths sixteen at a time; when all their values
//    fit in one byte they are scaled in vector lanes and stored at once,
//    else edge by edge with the exact formulas.
// The first edge of a chunk, which may close a phase carried from earlier
// chunks, always takes the exact path.
#include "signal/scan_paths.h"

#if VELMORA_X86_64_V3_SCAN

#include "signal/one_byte_scaling.h"
#include "tape_files/tap_entry.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cpuid.h>
#include <immintrin.h>

#define VELMORA_X86_64_V3 __attribute__((target("avx2,bmi,bmi2,lzcnt,popcnt")))

namespace velmora {
namespace {

constexpr std::size_t max_chunk_words = max_chunk_bytes / 8;
constexpr std::size_t max_chunk_samples = max_chunk_bytes * 8;
// Pass 2 stores this many phase lengths for every word with an edge,
// whatever its number of edges; the next word's lengths overwrite the extra
// ones.
constexpr unsigned lengths_per_word = 7;
// A word with more edges is taken a byte at a time, sixteen lengths stored
// at once.
constexpr unsigned lengths_per_store = 16;
// Room past the last length for such extra stores.
constexpr std::size_t length_slack = lengths_per_store;
static_assert(lengths_per_word <= length_slack, "the stores of a word stay within the slack");
static_assert(pulse_output_capacity >= max_chunk_samples + tap_max_entry_size + lengths_per_store,
              "one byte per edge, a 4-byte first entry, and a whole group's bytes stored past the last");

// For every byte of an edge mask: the indices (0 to 7) of its set bits from
// bit 7 down, one per byte from the lowest; the rest are 0.
struct byte_edge_table {
    std::uint64_t indices[256];
};

constexpr byte_edge_table make_byte_edge_table()
{
    byte_edge_table table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        unsigned slot = 0;
        for (unsigned index = 0; index < 8; ++index) {
            if ((byte & (0x80U >> index)) != 0) {
                table.indices[byte] |= std::uint64_t{index} << (8 * slot++);
            }
        }
    }
    return table;
}

constexpr byte_edge_table byte_edges = make_byte_edge_table();

static_assert(max_chunk_samples + 64 <= 0x10000, "a phase within a chunk, less one, fits in 16 bits");

// Sample bytes in the order of a big-endian word: the first byte's bit 7,
// the earliest sample, lands in bit 63.
std::uint64_t load_samples(const std::uint8_t* samples, std::size_t size)
{
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < size; ++i) {
        word |= std::uint64_t{samples[i]} << (56 - 8 * i);
    }
    return word;
}

// Words are grouped by four: the group of word w is w / 4.
constexpr unsigned words_per_group = 4;
static_assert(max_chunk_bytes / 8 / words_per_group <= 64, "one bit per group in a 64-bit word");

// Pass 1: the edge mask of every word of the chunk into `masks`, a set bit
// 63 − k marking an edge at the word's sample k; `level` is the level before
// the chunk. The last word may be partial: its missing samples hold no edge.
// Returns which groups of words hold an edge, group g in bit g, so that the
// words of a long phase cost nothing more.
VELMORA_X86_64_V3 std::uint64_t find_edge_masks(const std::uint8_t* samples, std::size_t length, std::uint64_t level,
                                                std::uint64_t* masks)
{
    std::uint64_t groups = 0;
    const std::size_t full_words = length / 8;
    std::size_t word = 0;
    // Four words at a time. Each lane takes the last sample of the lane
    // before; lane 0 takes it from lane 3 of the previous four words.
    const __m256i byte_swap = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3,
                                               2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    __m256i previous = _mm256_set1_epi64x(static_cast<long long>(level));
    for (; word + 4 <= full_words; word += 4) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(samples + 8 * word));
        const __m256i words = _mm256_shuffle_epi8(bytes, byte_swap);
        // Lanes 3, 0, 1, 2: each lane now holds the word before it.
        const __m256i rotated = _mm256_permute4x64_epi64(words, 0x93);
        const __m256i before = _mm256_blend_epi32(rotated, previous, 0x03);
        const __m256i shifted = _mm256_or_si256(_mm256_srli_epi64(words, 1), _mm256_slli_epi64(before, 63));
        const __m256i edges = _mm256_xor_si256(words, shifted);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(masks + word), edges);
        groups |= static_cast<std::uint64_t>(_mm256_testz_si256(edges, edges) == 0) << (word / words_per_group);
        previous = rotated;
    }
    std::uint64_t last_sample = static_cast<std::uint64_t>(_mm256_extract_epi64(previous, 0)) & 1U;
    for (; word < full_words; ++word) {
        const std::uint64_t bits = load_samples(samples + 8 * word, 8);
        masks[word] = bits ^ ((bits >> 1) | (last_sample << 63));
        groups |= static_cast<std::uint64_t>(masks[word] != 0) << (word / words_per_group);
        last_sample = bits & 1U;
    }
    const std::size_t rest = length - 8 * full_words;
    if (rest > 0) {
        const std::uint64_t bits = load_samples(samples + 8 * full_words, rest);
        const std::uint64_t valid = ~std::uint64_t{0} << (64 - 8 * rest);
        masks[full_words] = (bits ^ ((bits >> 1) | (last_sample << 63))) & valid;
        groups |= static_cast<std::uint64_t>(masks[full_words] != 0) << (full_words / words_per_group);
    }
    return groups;
}

// The phase lengths, less one, of a word with many edges (a dense signal),
// as word_phase_lengths gives them, stored from `end` on: the positions of
// its edges a byte at a time from a table, then the differences of
// neighbours sixteen at a time. Stores up to length_slack lengths past them.
VELMORA_X86_64_V3 void many_phase_lengths(const std::uint64_t word_mask, const unsigned base,
                                          const unsigned after_last_edge, std::uint16_t* const end)
{
    // positions[0] is the edge before the word, the rest the word's edges,
    // all counted from the word's first sample, modulo 2^16 (the one before
    // may lie before the word); lengths are differences, so the wrap cancels.
    std::uint16_t positions[1 + 64 + lengths_per_store];
    positions[0] = static_cast<std::uint16_t>(after_last_edge - 1 - base);
    std::uint16_t* at = positions + 1;
    for (unsigned byte = 0; byte < 8; ++byte) {
        const auto bits = static_cast<unsigned>(word_mask >> (56 - 8 * byte)) & 0xFFU;
        const __m128i indices =
            _mm_cvtepu8_epi16(_mm_cvtsi64_si128(static_cast<long long>(byte_edges.indices[bits])));
        const __m128i first = _mm_set1_epi16(static_cast<short>(8 * byte));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm_add_epi16(indices, first));
        at += _mm_popcnt_u32(bits);
    }
    // The last group of sixteen reads up to fifteen positions past the
    // word's last: zeros, not what the stack held.
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), _mm256_setzero_si256());
    const auto edges = static_cast<std::size_t>(at - (positions + 1));
    const __m256i one = _mm256_set1_epi16(1);
    for (std::size_t i = 0; i < edges; i += lengths_per_store) {
        const __m256i ends = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(positions + i + 1));
        const __m256i starts = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(positions + i));
        const __m256i lengths = _mm256_sub_epi16(_mm256_sub_epi16(ends, starts), one);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(end + i), lengths);
    }
}

// The phases closed by the edges of one word whose first sample is at
// `base`, each as its length in samples less one, stored from `end` on;
// `after_last_edge` is the index of the sample after the last edge before
// the word (0 for none in the chunk) and becomes that after the word's last
// edge. Returns the new end; stores up to length_slack lengths past it.
VELMORA_X86_64_V3 inline std::uint16_t* word_phase_lengths(const std::uint64_t word_mask, const unsigned base,
                                                            unsigned& after_last_edge, std::uint16_t* const end)
{
    if (word_mask == 0) {
        return end;
    }
    const auto edges = static_cast<std::size_t>(_mm_popcnt_u64(word_mask));
    // Each edge is found as the number of samples before it, counted from
    // the top of a mask shifted left past the edge before it; that count is
    // the phase's length less one. The shift by one more is taken first,
    // beside the count, so that one step costs two instructions in a row
    // (count, shift), not three. Most words of a tape signal hold at most
    // seven edges: storing seven lengths without looking costs less than a
    // loop of varying length. Once the mask is empty, lzcnt gives 64, a
    // shift by 0 of an empty mask: the extra lengths are junk, overwritten
    // by the next word's.
    auto gap = static_cast<unsigned>(_lzcnt_u64(word_mask));
    end[0] = static_cast<std::uint16_t>(base + gap - after_last_edge);
    std::uint64_t mask = (word_mask << 1U) << gap;
    for (unsigned slot = 1; slot < lengths_per_word; ++slot) {
        gap = static_cast<unsigned>(_lzcnt_u64(mask));
        end[slot] = static_cast<std::uint16_t>(gap);
        mask = (mask << 1U) << (gap & 63U);
    }
    if (mask != 0) {
        many_phase_lengths(word_mask, base, after_last_edge, end);
    }
    after_last_edge = base + 64 - static_cast<unsigned>(_tzcnt_u64(word_mask));
    return end + edges;
}

// Pass 2: for every edge of the chunk, in order, the length less one of the
// phase it closes, into `lengths`, which must have room for length_slack
// more than the number of edges; the first edge's phase is counted from the
// chunk's first sample. Only the groups of words marked in `groups` are
// looked at. Returns the number of edges; `after_last_edge` becomes the
// index of the sample after the last edge.
VELMORA_X86_64_V3 std::size_t find_phase_lengths(const std::uint64_t* masks, std::size_t words,
                                                 std::uint64_t groups, std::uint16_t* lengths,
                                                 unsigned& after_last_edge)
{
    std::uint16_t* end = lengths;
    unsigned after_last = 0; // kept in a register, not behind the reference
    for (; groups != 0; groups &= groups - 1) {
        const auto group = static_cast<std::size_t>(std::countr_zero(groups));
        const std::size_t last_word = std::min(words, (group + 1) * words_per_group);
        for (std::size_t word = group * words_per_group; word < last_word; ++word) {
            end = word_phase_lengths(masks[word], static_cast<unsigned>(word * 64), after_last, end);
        }
    }
    after_last_edge = after_last;
    return static_cast<std::size_t>(end - lengths);
}

// What pass 3 carries from edge to edge besides the output.
struct full_waves {
    std::uint64_t low_length;
    std::uint64_t asymmetric;
};

// One edge closing a phase of n samples, by the exact formulas; `rising`
// says whether the level goes to 1 (version 1 only).
template <bool half_waves>
std::uint8_t* exact_entry(std::uint8_t* out, std::uint64_t n, bool rising, std::uint8_t period, full_waves& waves)
{
    if constexpr (half_waves) {
        return put_tap_entry(out, half_wave_value(n, period));
    }
    if (rising) {
        waves.low_length = n;
        return put_tap_entry(out, full_wave_value(n, period));
    }
    // A high phase shorter than the low phase wraps to a large difference.
    waves.asymmetric += n - waves.low_length > 3 ? 1 : 0;
    return out;
}

// The edges from index `first` up to `last` (excluded), none of them the
// chunk's first edge, by the exact formulas; `lengths` as pass 2 gives
// them. An edge is rising if its index has the parity `rising_parity`.
template <bool half_waves>
std::uint8_t* exact_entries(std::uint8_t* out, const std::uint16_t* lengths, std::size_t first, std::size_t last,
                            std::size_t rising_parity, std::uint8_t period, full_waves& waves)
{
    for (std::size_t i = first; i < last; ++i) {
        out = exact_entry<half_waves>(out, std::uint64_t{lengths[i]} + 1, (i & 1U) == rising_parity, period, waves);
    }
    return out;
}

// Pass 3, version 2: one entry per edge from index `first` on; sixteen
// phases at a time in 16-bit lanes when all their values fit in one byte.
// A lane holds a length less one, so the rounding term takes one factor
// more: 13·p·(m + 1) + 50 = 13·p·m + (13·p + 50).
VELMORA_X86_64_V3 std::uint8_t* half_wave_entries(std::uint8_t* out, const std::uint16_t* lengths,
                                                   std::size_t first, std::size_t edges, std::uint8_t period)
{
    full_waves unused{0, 0};
    const auto factor = static_cast<std::uint16_t>(half_wave_factor * period);
    const __m256i limit = _mm256_set1_epi16(static_cast<short>(one_byte_half_wave_limit(period) - 1));
    const __m256i factors = _mm256_set1_epi16(static_cast<short>(factor));
    const __m256i bias = _mm256_set1_epi16(static_cast<short>(factor + half_wave_bias));
    const __m256i magic = _mm256_set1_epi16(static_cast<short>(half_wave_magic));
    const __m256i one = _mm256_set1_epi16(1);
    const __m256i lane_numbers = _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    std::size_t i = first;
    while (i < edges) {
        // The last group may be short: its lanes past the last edge are read
        // as 0, which fits, and the bytes stored for them are not counted.
        const std::size_t count = std::min<std::size_t>(lengths_per_store, edges - i);
        const __m256i counted = _mm256_cmpgt_epi16(_mm256_set1_epi16(static_cast<short>(count)), lane_numbers);
        const __m256i shorter =
            _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lengths + i)), counted);
        const __m256i within = _mm256_cmpeq_epi16(_mm256_max_epu16(shorter, limit), limit);
        if (_mm256_movemask_epi8(within) != -1) {
            out = exact_entries<true>(out, lengths, i, i + count, 0, period, unused);
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
VELMORA_X86_64_V3 std::uint8_t* full_wave_entries(std::uint8_t* out, const std::uint16_t* lengths,
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
    const __m256i lane_numbers = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    std::size_t i = first;
    while (edges - i >= 2) {
        // Lane j holds the low phase closed by the rising edge i + 2j in its
        // low half and the high phase closed by the falling edge after it in
        // its high half, each less one. The last group may be short: its
        // lanes past the last whole wave are read as 0, a symmetric wave
        // that fits, and the bytes stored for them are not counted.
        const std::size_t count = std::min<std::size_t>(lengths_per_store / 2, (edges - i) / 2);
        const __m256i counted = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)), lane_numbers);
        const __m256i waves_less_one =
            _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lengths + i)), counted);
        const __m256i lows = _mm256_add_epi32(_mm256_and_si256(waves_less_one, low_half), one);
        const __m256i highs = _mm256_add_epi32(_mm256_srli_epi32(waves_less_one, 16), one);
        if (_mm256_movemask_epi8(_mm256_cmpgt_epi32(lows, limit)) != 0) {
            out = exact_entries<false>(out, lengths, i, i + 2 * count, rising_parity, period, waves);
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
            static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(asymmetric)))));
        i += 2 * count;
        waves.low_length = std::uint64_t{lengths[i - 2]} + 1;
    }
    // A rising edge whose falling edge lies in a later chunk.
    return exact_entries<false>(out, lengths, i, edges, rising_parity, period, waves);
}

template <bool half_waves>
VELMORA_X86_64_V3 std::size_t scan(const std::uint8_t* samples, std::size_t length, std::uint8_t period,
                                   pulse_state& state, std::uint8_t* out)
{
    assert(state.count < (std::uint64_t{1} << 62) && state.level <= 1);
    std::uint64_t masks[max_chunk_words];
    std::uint16_t lengths[max_chunk_samples + length_slack];
    const std::uint64_t groups = find_edge_masks(samples, length, state.level, masks);
    unsigned after_last_edge = 0;
    const std::size_t edges = find_phase_lengths(masks, (length + 7) / 8, groups, lengths, after_last_edge);
    const std::uint64_t samples_in_chunk = length * 8;
    if (edges == 0) {
        state.count += samples_in_chunk;
        return 0;
    }
    std::uint8_t* const start = out;
    // Edge 0 goes to the other level: it rises if the level was 0, and so
    // does every other edge after it. It closes the phase carried from
    // earlier chunks.
    const std::size_t rising_parity = state.level;
    full_waves waves{state.low_length, state.asymmetric_pulses};
    out = exact_entry<half_waves>(out, state.count + 1 + lengths[0], rising_parity == 0, period, waves);
    if constexpr (half_waves) {
        out = half_wave_entries(out, lengths, 1, edges, period);
    } else {
        // The vector loop starts at a rising edge.
        std::size_t first = 1;
        if ((first & 1U) != rising_parity && first < edges) {
            out = exact_entries<false>(out, lengths, first, first + 1, rising_parity, period, waves);
            ++first;
        }
        out = full_wave_entries(out, lengths, first, edges, period, waves);
    }
    state.count = samples_in_chunk - after_last_edge;
    state.level = static_cast<std::uint8_t>(state.level ^ (edges & 1U));
    state.low_length = waves.low_length;
    state.asymmetric_pulses = waves.asymmetric;
    return static_cast<std::size_t>(out - start);
}

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
                                    int version, pulse_state& state, std::uint8_t* out)
{
    assert(length <= max_chunk_bytes);
    return version == 2 ? scan<true>(samples, length, period, state, out)
                        : scan<false>(samples, length, period, state, out);
}

} // namespace velmora

#endif

// The scan for every CPU, in standard C++. A chunk takes two passes:
// 1. edge positions: each 8-byte word of samples, as stored (a byte's
//    earliest sample in bit 7), is compared with itself shifted by one
//    sample to mark its edges; each byte of that mask then gives the sample
//    indices of its edges from a table, all eight stored at once, the next
//    byte's overwriting those past the byte's edges. No branch depends on
//    where the edges lie, which on a tape signal is anyone's guess; a word
//    with a lone edge, common in a slow signal, takes it directly;
// 2. entries: the phase lengths, differences of neighbouring positions,
//    looked up in the run's table of short phases, edge after edge.
// A phase too long for the table, such as one carried over from earlier
// chunks, takes the exact formulas.
#include "signal/edge_entries.h"
#include "signal/sample_words.h"
#include "signal/scan_paths.h"

#include "tape_files/tap_entry.h"

#include <bit>
#include <cassert>
#include <cstring>

namespace velmora {
namespace {

constexpr std::size_t max_chunk_samples = max_chunk_bytes * 8;
static_assert(max_chunk_samples <= 0xFFFF, "a sample index within a chunk fits in 16 bits");
static_assert(pulse_output_capacity >= max_chunk_samples + tap_max_entry_size + tap_max_entry_size - 1,
              "one byte per sample, a 4-byte first entry, and room for a whole-entry store");

// Four 16-bit lanes to a 64-bit word, in the order they lie in memory.
static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "16-bit lanes of a word in memory order");
constexpr unsigned lane_shift(unsigned lane)
{
    return 16 * (std::endian::native == std::endian::little ? lane : 3 - lane);
}
constexpr std::uint64_t every_lane = 0x0001000100010001ULL;

// For every byte of an edge mask as stored (bit 7 for the byte's earliest
// sample): the sample indices in the byte (0 to 7) of its edges, in order,
// as eight 16-bit lanes in memory order; lanes past its edges hold 0.
struct byte_edge_table {
    std::uint64_t lanes[512];   // lanes 0–3 at twice the byte, 4–7 after them
    std::uint8_t counts[512];   // the byte's number of edges, at twice the byte
};

constexpr byte_edge_table make_byte_edge_table()
{
    byte_edge_table table{};
    for (unsigned bits = 0; bits < 256; ++bits) {
        unsigned slot = 0;
        for (unsigned sample = 0; sample < 8; ++sample) {
            if ((bits & (0x80U >> sample)) != 0) {
                table.lanes[2 * bits + slot / 4] |= std::uint64_t{sample} << lane_shift(slot % 4);
                ++slot;
            }
        }
        table.counts[2 * bits] = static_cast<std::uint8_t>(slot);
    }
    return table;
}

constexpr byte_edge_table byte_edges = make_byte_edge_table();

// Pass 1 stores eight positions for every byte of samples; the last store
// reaches this far past the last edge.
constexpr std::size_t position_slack = 8;

// The edges of a word of samples as stored, first byte lowest: a set bit
// marks a sample that differs from the one before it, `level` being the
// sample before the word's first.
constexpr std::uint64_t word_edges(std::uint64_t word, std::uint64_t level)
{
    constexpr std::uint64_t within_bytes = 0x7F7F7F7F7F7F7F7FULL;
    constexpr std::uint64_t byte_starts = 0x8080808080808080ULL;
    // Within a byte the sample before is one bit up; a byte's first sample
    // follows the last (bit 0) of the byte before.
    const std::uint64_t before = ((word >> 1) & within_bytes) | ((word << 15) & byte_starts) | (level << 7);
    return word ^ before;
}

// The positions of the edges of `edges`, the mask of the word of samples
// whose first sample is `first`, from `end` on; returns the new end. Stores
// up to position_slack positions past it.
inline std::uint16_t* put_word_positions(std::uint64_t edges, std::uint64_t first, std::uint16_t* end)
{
    for (unsigned byte = 0; byte < 8; ++byte) {
        // Twice the byte's bits, an index into the table.
        const std::size_t at = static_cast<std::size_t>(byte == 0 ? edges << 1 : edges >> (8 * byte - 1)) & 0x1FEU;
        const std::uint64_t byte_first = (first + 8 * byte) * every_lane;
        const std::uint64_t low = byte_edges.lanes[at] + byte_first;
        const std::uint64_t high = byte_edges.lanes[at + 1] + byte_first;
        std::memcpy(end, &low, sizeof low);
        std::memcpy(end + 4, &high, sizeof high);
        end += byte_edges.counts[at];
    }
    return end;
}

// Pass 1: the sample index within the chunk of every edge, in order, into
// `positions`, which must have room for position_slack more than the number
// of edges; `level` is the level before the chunk. Returns the number of
// edges.
std::size_t find_edge_positions(const std::uint8_t* samples, std::size_t length, std::uint64_t level,
                                 std::uint16_t* positions)
{
    std::uint16_t* end = positions;
    std::size_t offset = 0;
    for (; length - offset >= 8; offset += 8) {
        const std::uint64_t word = load_sample_bytes(samples + offset);
        // A long phase: a word all at the current level holds no edge.
        if (word == 0 - level) {
            continue;
        }
        const std::uint64_t edges = word_edges(word, level);
        assert(edges != 0);
        level = (word >> 56) & 1U;
        // A lone edge, as in most words with an edge of a slow signal, is
        // cheaper found directly: mask bit b is the word's sample b ^ 7.
        if ((edges & (edges - 1)) == 0) {
            *end++ = static_cast<std::uint16_t>(offset * 8 + (static_cast<unsigned>(std::countr_zero(edges)) ^ 7U));
            continue;
        }
        end = put_word_positions(edges, offset * 8, end);
    }
    if (offset < length) {
        const std::size_t size = length - offset;
        const std::uint64_t valid = ~std::uint64_t{0} >> (64 - 8 * size);
        const std::uint64_t word = load_sample_bytes(samples + offset, size);
        end = put_word_positions(word_edges(word, level) & valid, offset * 8, end);
    }
    return static_cast<std::size_t>(end - positions);
}

// Where a short phase's entry in the table keeps the entry's size.
constexpr unsigned entry_size_shift = 32;

// Most phases of a tape signal are short, and a lookup is cheaper than
// scaling and encoding each of them. The table lives in the run's state and
// is rebuilt only when the period or the wave kind changes, i.e. per block.
template <bool half_waves>
const short_phase_table& short_phase_entries(std::uint8_t period, short_phase_table& table)
{
    const auto key = static_cast<std::uint16_t>(1 + period + (half_waves ? 256 : 0));
    if (table.key != key) {
        for (std::uint64_t n = 0; n < short_phase_limit; ++n) {
            std::uint8_t bytes[tap_max_entry_size]{};
            const std::uint8_t* const entry_end = put_tap_entry(bytes, wave_value<half_waves>(n, period));
            const auto size = static_cast<std::uint64_t>(entry_end - bytes);
            table.entries[n] = std::uint64_t{bytes[0]} | (std::uint64_t{bytes[1]} << 8) |
                               (std::uint64_t{bytes[2]} << 16) | (std::uint64_t{bytes[3]} << 24) |
                               (size << entry_size_shift);
        }
        table.key = key;
    }
    return table;
}

// The entry of a phase of n samples, at `at`; returns the end of the entry.
template <bool half_waves>
std::uint8_t* put_entry(std::uint8_t* at, std::uint64_t n, std::uint8_t period, const short_phase_table& table)
{
    if (n >= short_phase_limit) {
        return put_tap_entry(at, wave_value<half_waves>(n, period));
    }
    // All four bytes are stored whatever the entry's size: the next entry
    // overwrites those past it.
    const std::uint64_t entry = table.entries[n];
    at[0] = static_cast<std::uint8_t>(entry);
    at[1] = static_cast<std::uint8_t>(entry >> 8);
    at[2] = static_cast<std::uint8_t>(entry >> 16);
    at[3] = static_cast<std::uint8_t>(entry >> 24);
    return at + (entry >> entry_size_shift);
}

template <bool half_waves>
std::size_t scan(const std::uint8_t* samples, std::size_t length, std::uint8_t period, pulse_state& state,
                 std::uint8_t* out)
{
    assert(state.count < (std::uint64_t{1} << 62) && state.level <= 1);
    std::uint16_t positions[max_chunk_samples + position_slack];
    const std::size_t edges = find_edge_positions(samples, length, state.level, positions);
    const std::uint64_t samples_in_chunk = length * 8;
    if (edges == 0) {
        state.count += samples_in_chunk;
        return 0;
    }
    const short_phase_table& table = short_phase_entries<half_waves>(period, state.short_phases);
    std::uint8_t* const start = out;
    full_waves waves{state.low_length, state.asymmetric_pulses};
    // Edge 0 goes to the other level: it rises if the level was 0, and so
    // does every other edge after it. It closes the phase carried from
    // earlier chunks.
    const std::size_t rising_parity = state.level;
    const auto put = [period, &table](std::uint8_t* at, std::uint64_t n) {
        return put_entry<half_waves>(at, n, period, table);
    };
    out = edge_entry<half_waves>(out, state.count + positions[0] + 1, rising_parity == 0, waves, put);
    for (std::size_t i = 1; i < edges; ++i) {
        out = edge_entry<half_waves>(out, std::uint64_t{positions[i]} - positions[i - 1], (i & 1U) == rising_parity,
                                     waves, put);
    }
    close_chunk(state, length, edges, positions[edges - 1], waves);
    return static_cast<std::size_t>(out - start);
}

} // namespace

std::size_t convert_chunk_portable(const std::uint8_t* samples, std::size_t length, std::uint8_t period,
                                   wave_kind waves, pulse_state& state, std::uint8_t* out)
{
    assert(length <= max_chunk_bytes);
    return waves == wave_kind::half_waves ? scan<true>(samples, length, period, state, out)
                        : scan<false>(samples, length, period, state, out);
}

} // namespace velmora

#include "signal/sample_words.h"
#include "signal/scan_paths.h"

#include "tape_files/tap_entry.h"

#include <bit>
#include <cassert>

namespace velmora {
namespace {

constexpr unsigned word_bits = 64;

static_assert(pulse_output_capacity >= max_chunk_bytes * 8 + 3 + tap_max_entry_size,
              "one byte per sample, a 4-byte first entry, and room for a whole-entry store");

template <bool half_waves>
std::uint64_t wave_value(std::uint64_t n, std::uint8_t period)
{
    return half_waves ? half_wave_value(n, period) : full_wave_value(n, period);
}

// Most phases of a tape signal are short, and a lookup is cheaper than
// scaling and encoding each of them. The table lives in the run's state and
// is rebuilt only when the period or the wave kind changes, i.e. per block.
template <bool half_waves>
const short_phase_table& short_phase_entries(std::uint8_t period, short_phase_table& table)
{
    const auto key = static_cast<std::uint16_t>(1 + period + (half_waves ? 256 : 0));
    if (table.key != key) {
        for (std::uint64_t n = 0; n < short_phase_limit; ++n) {
            std::uint8_t bytes[tap_max_entry_size];
            put_tap_entry(bytes, wave_value<half_waves>(n, period));
            table.entries[n] = std::uint32_t{bytes[0]} | (std::uint32_t{bytes[1]} << 8) |
                               (std::uint32_t{bytes[2]} << 16) | (std::uint32_t{bytes[3]} << 24);
        }
        table.key = key;
    }
    return table;
}

// The samples are scanned a word at a time: the edges of a word are the bits
// that differ from the sample before them, found all at once by comparing
// the word with itself shifted by one sample; between edges nothing is done.
// Positions are sample indices within the chunk. The last edge may lie
// before the chunk (a negative position): that is how a phase carried from
// earlier chunks enters. An edge at position g closes a phase of g − last.
template <bool half_waves>
std::size_t scan(const std::uint8_t* samples, std::size_t length, std::uint8_t period, pulse_state& state,
                 std::uint8_t* out)
{
    assert(state.count < (std::uint64_t{1} << 62) && state.level <= 1);
    const short_phase_table& table = short_phase_entries<half_waves>(period, state.short_phases);
    const auto put_entry = [&table, period](std::uint8_t* at, std::uint64_t n) {
        if (n >= short_phase_limit) {
            return put_tap_entry(at, wave_value<half_waves>(n, period));
        }
        // A stored value is never 0, so a first byte of 0 opens a 4-byte entry.
        const std::uint32_t bytes = table.entries[n];
        at[0] = static_cast<std::uint8_t>(bytes);
        at[1] = static_cast<std::uint8_t>(bytes >> 8);
        at[2] = static_cast<std::uint8_t>(bytes >> 16);
        at[3] = static_cast<std::uint8_t>(bytes >> 24);
        return at + ((bytes & 0xFFU) != 0 ? 1 : tap_max_entry_size);
    };
    std::uint8_t* const start = out;
    std::int64_t last = -static_cast<std::int64_t>(state.count) - 1;
    std::uint64_t level = state.level;
    std::uint64_t low_length = state.low_length;
    std::uint64_t asymmetric = state.asymmetric_pulses;
    for (std::size_t offset = 0; offset < length; offset += 8) {
        // A long phase: whole words at the current level hold no edge.
        while (length - offset >= 8 && load_sample_bytes(samples + offset) == 0 - level) {
            offset += 8;
        }
        if (offset >= length) {
            break;
        }
        const std::size_t size = length - offset < 8 ? length - offset : 8;
        const std::uint64_t word = sample_word(samples + offset, size);
        const auto valid_bits = static_cast<unsigned>(size * 8);
        const std::uint64_t valid = ~std::uint64_t{0} >> (word_bits - valid_bits);
        std::uint64_t edges = (word ^ ((word << 1) | level)) & valid;
        if (edges == 0) {
            continue;
        }
        const auto base = static_cast<std::int64_t>(offset * 8);
        level = (word >> (valid_bits - 1)) & 1U;
        do {
            const auto bit = static_cast<unsigned>(std::countr_zero(edges));
            edges &= edges - 1;
            const std::int64_t position = base + bit;
            const auto n = static_cast<std::uint64_t>(position - last);
            last = position;
            if constexpr (half_waves) {
                out = put_entry(out, n);
            } else if (((word >> bit) & 1U) != 0) {
                low_length = n;
                out = put_entry(out, n);
            } else {
                // A high phase shorter than the low phase wraps to a large difference.
                asymmetric += n - low_length > 3 ? 1 : 0;
            }
        } while (edges != 0);
    }
    state.count = static_cast<std::uint64_t>(static_cast<std::int64_t>(length * 8) - 1 - last);
    state.level = static_cast<std::uint8_t>(level);
    state.low_length = low_length;
    state.asymmetric_pulses = asymmetric;
    return static_cast<std::size_t>(out - start);
}

} // namespace

std::size_t convert_chunk_portable(const std::uint8_t* samples, std::size_t length, std::uint8_t period,
                                   int version, pulse_state& state, std::uint8_t* out)
{
    assert(length <= max_chunk_bytes);
    return version == 2 ? scan<true>(samples, length, period, state, out)
                        : scan<false>(samples, length, period, state, out);
}

} // namespace velmora

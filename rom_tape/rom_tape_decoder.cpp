#include "rom_tape/rom_tape_decoder.h"

#include <algorithm>
#include <cassert>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora {
namespace {

constexpr std::uint32_t nominal[3] = {rom_tape_short_cycles, rom_tape_medium_cycles, rom_tape_long_cycles};
// Clock cycles of one unit of a one-byte entry.
constexpr std::uint64_t entry_unit_cycles = 8;
// Short waves in a row that make a leader: they end a copy and count as the format.
constexpr std::uint64_t leader_min_waves = 8;
// A learnt centre stays within a quarter of its nominal length.
constexpr std::uint32_t centre_freedom_percent = 25;
// Bytes a copy may lack between two bytes read before the gap ends it instead.
constexpr std::uint64_t max_lost_bytes = 64;

// The place of the next pulse; its sample is filled in by with_sample, only
// for the places kept.
tape_place place_now(const rom_tape_decoder& d)
{
    return tape_place{d.cycles, d.offset, d.block, 0};
}

tape_place with_sample(const rom_tape_decoder& d, tape_place place)
{
    if (place.block > 0 && place.block == d.block && d.cycles_per_sample > 0 && place.cycles >= d.block_start_cycles) {
        place.sample = static_cast<std::uint64_t>(static_cast<double>(place.cycles - d.block_start_cycles) /
                                                  d.cycles_per_sample);
    }
    return place;
}

void add_problem(rom_tape_decoder& d, rom_problem_kind kind, const tape_place& place, std::string text)
{
    if (d.result.problems.size() < rom_max_problems) {
        d.result.problems.push_back(rom_problem{kind, with_sample(d, place), std::move(text)});
    } else {
        ++d.result.problems_dropped;
    }
}

rom_wave_classes classes_of(const rom_tape_decoder& d)
{
    const std::uint32_t s = d.centre16[0] / 16;
    const std::uint32_t m = d.centre16[1] / 16;
    const std::uint32_t l = d.centre16[2] / 16;
    return rom_wave_classes{s, m, l, s / 2, (s + m) / 2, (m + l) / 2, 2 * l - m};
}

rom_wave classify(const rom_tape_decoder& d, std::uint32_t half)
{
    const std::uint32_t s = d.centre16[0];
    const std::uint32_t m = d.centre16[1];
    const std::uint32_t l = d.centre16[2];
    const std::uint64_t h32 = std::uint64_t{half} * 32;
    if (h32 < s) {
        return rom_wave::glitch;
    }
    if (h32 < std::uint64_t{s} + m) {
        return rom_wave::short_wave;
    }
    if (h32 < std::uint64_t{m} + l) {
        return rom_wave::medium_wave;
    }
    return h32 < 2 * (2 * std::uint64_t{l} - m) ? rom_wave::long_wave : rom_wave::dropout;
}

// The values of the one-byte entries of class `wave`: one stretch, since the
// classes follow one another as the length grows.
void class_values(const rom_tape_decoder& d, rom_wave wave, std::uint8_t& from, std::uint8_t& span)
{
    const auto first = std::find(d.table.begin(), d.table.end(), wave);
    const auto last = std::find_if(first, d.table.end(), [wave](rom_wave each) { return each != wave; });
    assert(std::find(last, d.table.end(), wave) == d.table.end());
    from = static_cast<std::uint8_t>(first == d.table.end() ? 0 : first - d.table.begin());
    span = static_cast<std::uint8_t>(last - first);
}

// Classes of the one-byte entries, from the centres.
void build_table(rom_tape_decoder& d)
{
    const std::uint32_t unit = d.kind == wave_kind::full_waves ? 4 : 8; // half-wave cycles of a unit
    for (unsigned value = 0; value < 256; ++value) {
        d.table[value] = classify(d, value * unit);
        d.short_table[value] = d.table[value] == rom_wave::short_wave ? 1 : 0;
    }
    class_values(d, rom_wave::short_wave, d.short_from, d.short_span);
    class_values(d, rom_wave::medium_wave, d.medium_from, d.medium_span);
    class_values(d, rom_wave::long_wave, d.long_from, d.long_span);
    d.learnt = 0;
}

// Waves learnt between two rebuilds of the table.
constexpr std::uint32_t table_rebuild_waves = 4096;

// The decoder sleeps while the tape holds nothing of the format: it wakes
// after this many short pulses in a row (a leader has thousands) and falls
// asleep again after this many waves without a byte or a leader wave, when
// no copy is open.
constexpr std::uint64_t wake_pulses = 64;
constexpr std::uint64_t sleep_waves = 2048;

// Sixteen bytes side by side: GCC and clang make vector instructions of
// them on any target.
typedef std::uint8_t sixteen_bytes __attribute__((vector_size(16)));
static_assert(std::endian::native == std::endian::little, "trailing_shorts reads the later pulses as the higher bytes");

// Short pulses in a row at the end of the sixteen at `run` (16 if all are).
unsigned trailing_shorts(const rom_tape_decoder& d, const std::uint8_t* run)
{
    sixteen_bytes values;
    std::memcpy(&values, run, sizeof values);
    const sixteen_bytes low = values - d.short_from;            // wraps below short_from
    const auto is_short = low < d.short_span;                    // 0xFF where short, 0 elsewhere
    std::uint64_t halves[2];
    std::memcpy(halves, &is_short, sizeof halves);
    // Little-endian: the later pulses are the higher bytes.
    const auto last_eight = static_cast<unsigned>(std::countl_one(halves[1])) / 8;
    const auto first_eight = static_cast<unsigned>(std::countl_one(halves[0])) / 8;
    return last_eight == 8 ? 8 + first_eight : last_eight;
}

void wake(rom_tape_decoder& d)
{
    d.asleep = false;
    d.holding = false;
    d.state = rom_tape_decoder::byte_state::idle;
    const std::uint64_t waves = d.kind == wave_kind::half_waves ? d.sleep_pulses / 2 : d.sleep_pulses;
    d.leader_waves = waves;
    d.leader_cycles = 0;
    // The leader so far, at the learnt length of a short half wave.
    d.result.format_cycles += d.sleep_pulses * (d.centre16[0] / 16) * (d.kind == wave_kind::half_waves ? 1 : 2);
    d.quiet_waves = 0;
    d.sleep_pulses = 0;
}

void learn(rom_tape_decoder& d, rom_wave wave, std::uint32_t half)
{
    if (++d.learnt == table_rebuild_waves) {
        build_table(d);
    }
    const auto which = static_cast<unsigned>(wave);
    std::uint32_t& centre = d.centre16[which];
    const std::int64_t step = (std::int64_t{half} * 16 - std::int64_t{centre}) / 32;
    const std::uint32_t low = nominal[which] * 16 * (100 - centre_freedom_percent) / 100;
    const std::uint32_t high = nominal[which] * 16 * (100 + centre_freedom_percent) / 100;
    centre = static_cast<std::uint32_t>(std::clamp<std::int64_t>(std::int64_t{centre} + step, low, high));
}

std::uint64_t byte_cycles(const rom_tape_decoder& d)
{
    const rom_wave_classes c = classes_of(d);
    return 2 * (std::uint64_t{c.long_centre} + c.medium_centre) + 18 * (std::uint64_t{c.short_centre} + c.medium_centre);
}

const char* role_name(unsigned role)
{
    return role == 0 ? "first copy" : "repeat";
}

std::string time_text(std::uint64_t cycles)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(cycles) / 886724.0);
    return text;
}

// What the open copy belongs to, for problem lines.
std::string block_context(const rom_tape_decoder& d)
{
    const std::vector<rom_file>& files = d.result.files;
    if (d.awaiting_data && !files.empty()) {
        return "the data of " + petscii_name(files.back().name);
    }
    return "a header";
}

std::string byte_context(const rom_tape_decoder& d, unsigned role, std::size_t index)
{
    return "byte " + std::to_string(index) + " of the " + role_name(role) + " of " + block_context(d);
}

void open_copy(rom_tape_decoder& d, unsigned role, const tape_place& place, bool turned);
void close_copy(rom_tape_decoder& d, const tape_place& place);
void feed_carried(rom_tape_decoder& d);
void finish_block(rom_tape_decoder& d);

void push_byte(rom_tape_decoder& d, std::uint8_t value, bool good)
{
    const unsigned role = d.copy_role;
    if (d.bytes[role].size() <= rom_tape_max_payload) {
        d.bytes[role].push_back(value);
        d.bad[role].push_back(!good);
    }
    if (!good) {
        if (d.open_copy.bad_bytes == 0) {
            d.open_copy.first_bad = d.bytes[role].size() - 1;
        }
        ++d.open_copy.bad_bytes;
    }
}

// Bytes lost since the last byte read, up to a byte starting at `cycles`.
void account_lost_bytes(rom_tape_decoder& d, std::uint64_t cycles)
{
    if (!d.byte_lost || d.copy != rom_tape_decoder::copy_state::payload) {
        d.byte_lost = false;
        return;
    }
    const std::uint64_t per_byte = byte_cycles(d);
    const std::uint64_t spans = (cycles - d.last_byte_cycles + per_byte / 2) / per_byte;
    const std::uint64_t lost = spans > 1 ? std::min(spans - 1, max_lost_bytes) : 1;
    for (std::uint64_t i = 0; i < lost; ++i) {
        push_byte(d, 0, false);
    }
    d.byte_lost = false;
}

void on_byte(rom_tape_decoder& d, std::uint8_t value, bool parity_ok)
{
    const tape_place& place = d.marker_place;
    using copy_state = rom_tape_decoder::copy_state;
    if (d.copy != copy_state::none && d.last_byte_cycles != 0 &&
        place.cycles - d.last_byte_cycles > (max_lost_bytes + 1) * byte_cycles(d)) {
        close_copy(d, place);
    }
    const unsigned count = value & 0x7FU;
    const unsigned role = (value & rom_tape_first_copy_flag) != 0 ? 0 : 1;
    switch (d.copy) {
    case copy_state::none:
        if (parity_ok && count >= 1 && count <= rom_tape_countdown_length) {
            open_copy(d, role, place, d.marker_turned);
            d.countdown_next = count - 1;
            d.copy = count == 1 ? copy_state::payload : copy_state::countdown;
        }
        break;
    case copy_state::countdown:
        if (!parity_ok || value == ((d.copy_role == 0 ? rom_tape_first_copy_flag : 0U) | d.countdown_next)) {
            d.copy = --d.countdown_next == 0 ? copy_state::payload : copy_state::countdown;
            break;
        }
        // A countdown cut short: the payload starts here.
        d.copy = copy_state::payload;
        [[fallthrough]];
    case copy_state::payload:
        account_lost_bytes(d, place.cycles);
        if (!parity_ok) {
            add_problem(d, rom_problem_kind::parity, place,
                        "parity error in " + byte_context(d, d.copy_role, d.bytes[d.copy_role].size()));
        }
        push_byte(d, value, parity_ok);
        break;
    }
    d.last_byte_cycles = place.cycles;
}

void on_byte_failed(rom_tape_decoder& d, const char* what, const tape_place& place)
{
    if (d.copy == rom_tape_decoder::copy_state::payload) {
        if (!d.byte_lost) {
            add_problem(d, rom_problem_kind::unreadable, place,
                        std::string(what) + " in " + byte_context(d, d.copy_role, d.bytes[d.copy_role].size()));
            d.lost_place = place;
        }
        d.byte_lost = true;
    } else if (d.copy == rom_tape_decoder::copy_state::countdown) {
        add_problem(d, rom_problem_kind::unreadable, place,
                    std::string(what) + " in the countdown of the " + role_name(d.copy_role) + " of " +
                        block_context(d));
    }
}

void on_wave(rom_tape_decoder& d, rom_wave wave, std::uint32_t half, const tape_place& place, bool turned)
{
    using byte_state = rom_tape_decoder::byte_state;
    if (++d.quiet_waves >= sleep_waves && d.state == byte_state::idle &&
        d.copy == rom_tape_decoder::copy_state::none) {
        d.asleep = true;
        d.sleep_pulses = 0;
        d.holding = false;
        d.leader_waves = 0;
        d.leader_cycles = 0;
        return;
    }
    if (wave == rom_wave::glitch || wave == rom_wave::dropout) {
        const bool in_format = d.state != byte_state::idle || d.leader_waves >= leader_min_waves ||
                               d.copy != rom_tape_decoder::copy_state::none;
        if (in_format && d.result.found && d.copy == rom_tape_decoder::copy_state::none) {
            char text[64];
            std::snprintf(text, sizeof text, "%s of %.1f us in a leader", wave == rom_wave::glitch ? "glitch" : "dropout",
                          half * 1e6 / 886724.0);
            add_problem(d, wave == rom_wave::glitch ? rom_problem_kind::glitch : rom_problem_kind::dropout, place,
                        text);
        }
    }
    switch (d.state) {
    case byte_state::idle:
        if (wave == rom_wave::short_wave) {
            learn(d, wave, half);
            d.quiet_waves = 0;
            ++d.leader_waves;
            d.leader_cycles += 2 * std::uint64_t{half};
            if (d.leader_waves >= leader_min_waves) {
                d.result.format_cycles += d.leader_cycles;
                d.leader_cycles = 0;
                if (d.leader_waves == leader_min_waves && d.copy != rom_tape_decoder::copy_state::none) {
                    close_copy(d, place);
                }
            }
            return;
        }
        d.leader_waves = 0;
        d.leader_cycles = 0;
        if (wave == rom_wave::long_wave) {
            d.state = byte_state::marker;
            d.marker_place = place;
            d.marker_turned = turned;
        } else if (wave == rom_wave::glitch || wave == rom_wave::dropout) {
            on_byte_failed(d, wave == rom_wave::glitch ? "a glitch" : "a dropout", place);
        }
        return;
    case byte_state::marker:
        if (wave == rom_wave::medium_wave) {
            d.state = byte_state::bits;
            d.bit_pairs = 0;
            d.pair_open = false;
            d.value = 0;
            d.ones = 0;
            return;
        }
        if (wave == rom_wave::long_wave) {
            d.marker_place = place;
            d.marker_turned = turned;
            return;
        }
        d.state = byte_state::idle;
        on_byte_failed(d, "a broken byte marker", d.marker_place);
        on_wave(d, wave, half, place, turned);
        return;
    case byte_state::bits:
        break;
    }
    if (wave == rom_wave::long_wave) {
        // The next byte's marker where a bit was due.
        on_byte_failed(d, "a byte cut short", d.marker_place);
        d.state = byte_state::idle;
        on_wave(d, wave, half, place, turned);
        return;
    }
    if (wave != rom_wave::short_wave && wave != rom_wave::medium_wave) {
        const char* const what = wave == rom_wave::glitch ? "a glitch" : wave == rom_wave::dropout ? "a dropout"
                                                                                                 : "unequal half waves";
        on_byte_failed(d, what, place);
        d.state = byte_state::idle;
        return;
    }
    if (wave == rom_wave::short_wave) {
        ++d.short_waves.count;
        d.short_waves.sum += half;
        d.short_waves.squares += std::uint64_t{half} * half;
    }
    if (!d.pair_open) {
        d.pair_open = true;
        d.pair_first = wave;
        return;
    }
    d.pair_open = false;
    if (wave == d.pair_first) {
        on_byte_failed(d, "an unreadable bit", place);
        d.state = byte_state::idle;
        return;
    }
    const bool one = d.pair_first == rom_wave::medium_wave;
    if (d.bit_pairs < 8) {
        d.value |= one ? 1U << d.bit_pairs : 0U;
    }
    d.ones += one ? 1U : 0U;
    if (++d.bit_pairs == rom_tape_bit_pairs) {
        d.state = byte_state::idle;
        d.quiet_waves = 0;
        d.result.format_cycles += place.cycles + 2 * std::uint64_t{half} - d.marker_place.cycles;
        on_byte(d, static_cast<std::uint8_t>(d.value), d.ones % 2 == 1);
    }
}

// One pulse of `cycles`, of class `wave` (as a half wave, or as a full wave's half).
void feed(rom_tape_decoder& d, std::uint32_t cycles, rom_wave wave)
{
    if (d.kind == wave_kind::full_waves) {
        on_wave(d, wave, cycles / 2, place_now(d), false);
    } else if (!d.holding) {
        d.holding = true;
        d.held_cycles = cycles;
        d.held_wave = wave;
        d.held_at = d.cycles;
        d.held_offset = d.offset;
    } else {
        const tape_place held{d.held_at, d.held_offset, d.block, 0};
        const bool turned = d.pulses % 2 == 0; // the held half is odd
        const auto half = static_cast<std::uint32_t>((std::uint64_t{cycles} + d.held_cycles) / 2);
        if (wave == d.held_wave) {
            d.holding = false;
            on_wave(d, wave, half, held, turned);
        } else if (d.state == rom_tape_decoder::byte_state::idle && wave != rom_wave::glitch &&
                   wave != rom_wave::dropout && d.held_wave != rom_wave::dropout) {
            // Between bytes the pairing slips by one half wave to find equal halves.
            d.held_cycles = cycles;
            d.held_wave = wave;
            d.held_at = d.cycles;
            d.held_offset = d.offset;
            d.leader_waves = 0;
        } else {
            d.holding = false;
            const bool any_glitch = wave == rom_wave::glitch || d.held_wave == rom_wave::glitch;
            const bool any_dropout = wave == rom_wave::dropout || d.held_wave == rom_wave::dropout;
            on_wave(d, any_glitch ? rom_wave::glitch : any_dropout ? rom_wave::dropout : rom_wave::unequal, half, held,
                    turned);
        }
    }
    d.cycles += cycles;
    ++d.pulses;
}

typedef std::int8_t sixteen_signed_bytes __attribute__((vector_size(16)));
typedef std::uint16_t eight_words __attribute__((vector_size(16)));
typedef std::uint32_t four_words __attribute__((vector_size(16)));

// Bit j set where byte j of `set` is 0xFF (each byte 0xFF or 0).
std::uint32_t byte_mask(sixteen_bytes set)
{
#if defined(__SSE2__)
    return static_cast<std::uint32_t>(_mm_movemask_epi8(reinterpret_cast<__m128i>(set)));
#else
    std::uint64_t halves[2];
    std::memcpy(halves, &set, sizeof halves);
    // One bit from each byte, byte j to bit j of the top byte of the product.
    constexpr std::uint64_t low_bits = 0x0101010101010101;
    constexpr std::uint64_t gather = 0x0102040810204080;
    return static_cast<std::uint32_t>((halves[0] & low_bits) * gather >> 56 |
                                      ((halves[1] & low_bits) * gather >> 56) << 8);
#endif
}

std::uint64_t lane_sum(four_words lanes)
{
    return std::uint64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
}

// The sums of neighbouring lanes, of at most 2^15 each.
four_words pair_sums(eight_words lanes)
{
#if defined(__SSE2__)
    return reinterpret_cast<four_words>(_mm_madd_epi16(reinterpret_cast<__m128i>(lanes), _mm_set1_epi16(1)));
#else
    const auto low = __builtin_convertvector(__builtin_shufflevector(lanes, lanes, 0, 2, 4, 6), four_words);
    const auto high = __builtin_convertvector(__builtin_shufflevector(lanes, lanes, 1, 3, 5, 7), four_words);
    return low + high;
#endif
}

// The sums of neighbouring lanes' squares, of lanes of at most 2^15 each.
four_words pair_square_sums(eight_words lanes)
{
#if defined(__SSE2__)
    const auto signed_lanes = reinterpret_cast<__m128i>(lanes);
    return reinterpret_cast<four_words>(_mm_madd_epi16(signed_lanes, signed_lanes));
#else
    const auto low = __builtin_convertvector(__builtin_shufflevector(lanes, lanes, 0, 2, 4, 6), four_words);
    const auto high = __builtin_convertvector(__builtin_shufflevector(lanes, lanes, 1, 3, 5, 7), four_words);
    return low * low + high * high;
#endif
}

// Bits 0, 2, 4, ... 16 of `bits`, side by side from bit 0.
unsigned every_second_bit(std::uint64_t bits)
{
    bits &= 0x15555;
    bits = (bits | bits >> 1) & 0x13333;
    bits = (bits | bits >> 2) & 0x10F0F; // bits 0-3, 8-11 and 16
    bits = (bits | bits >> 4) & 0x100FF;
    return static_cast<unsigned>((bits & 0xFF) | (bits >> 8 & 0x100));
}

// Bits 0, 4, 8, ... 32 of `bits`, side by side from bit 0.
unsigned every_fourth_bit(std::uint64_t bits)
{
    bits &= 0x111111111;
    bits = (bits | bits >> 3) & 0x303030303; // bits 0 and 4 of each byte to 0 and 1
    bits = (bits | bits >> 6) & 0x1000F000F; // two bytes' to the low nibble of the first
    return static_cast<unsigned>((bits & 0xF) | (bits >> 12 & 0xF0) | (bits >> 24 & 0x100));
}

// A well-formed byte as read from its entries. Its short waves' lengths are
// in units of 4 cycles of a half wave (both halves' entries, or a full
// wave's entry), summed in four lanes: the lanes are added up only where needed.
struct whole_byte {
    std::uint8_t value;
    bool parity_ok;
    four_words short_units;   // at most 6 × 510 a lane
    four_words short_squares; // of their squares, at most 6 × 510² a lane
};

// The sum of the `count` entries at `run`.
std::uint64_t entry_sum(const std::uint8_t* run, std::size_t count)
{
    std::uint64_t sum = 0;
    // In 16 bits 256 at a time (256 × 255 fits), which the compiler vectorises.
    for (std::size_t start = 0; start < count; start += 256) {
        const std::size_t end = std::min(count, start + 256);
        std::uint16_t part = 0;
        for (std::size_t k = start; k < end; ++k) {
            part = static_cast<std::uint16_t>(part + run[k]);
        }
        sum += part;
    }
    return sum;
}

// Short waves of a byte: one of each bit pair.
constexpr unsigned byte_short_waves = rom_tape_bit_pairs;

// 1 if the nine bits hold an odd number of ones.
unsigned odd_parity(unsigned nine_bits)
{
    unsigned folded = (nine_bits & 0xFF) ^ nine_bits >> 8;
    folded ^= folded >> 4;
    return 0x6996U >> (folded & 0xF) & 1;
}

// The first value of each class of one-byte entries from short waves on,
// less 129, sixteen times side by side: a value v - 128 is above it where v
// is of that class or a later one. (SSE2 compares signed bytes only.)
struct class_bounds {
    sixteen_signed_bytes short_from, medium_from, long_from, dropout_from;
};

// Whether read_byte_entries can read bytes with the decoder's classes: it
// needs a value of each, and the decoder awake.
bool bytes_readable(const rom_tape_decoder& d)
{
    return d.short_span != 0 && d.medium_span != 0 && d.long_span != 0;
}

class_bounds bounds_of(const rom_tape_decoder& d)
{
    // The classes follow one another as the values grow, without a gap.
    assert(d.medium_from == d.short_from + d.short_span && d.long_from == d.medium_from + d.medium_span);
    assert(d.short_from >= 1); // an entry of 0 is a glitch
    const auto bound = [](unsigned first) {
        const auto below = static_cast<std::int8_t>(static_cast<int>(first) - 129);
        return sixteen_signed_bytes{} + below;
    };
    return class_bounds{bound(d.short_from), bound(d.medium_from), bound(d.long_from),
                        bound(unsigned{d.long_from} + d.long_span)};
}

// Sixteen entries as signed bytes of value - 128.
sixteen_signed_bytes entries_at(const std::uint8_t* run)
{
    sixteen_bytes values;
    std::memcpy(&values, run, sizeof values);
    return reinterpret_cast<sixteen_signed_bytes>(values ^ 0x80);
}

sixteen_bytes at_least(sixteen_signed_bytes entries, sixteen_signed_bytes first_less_129)
{
    return reinterpret_cast<sixteen_bytes>(entries > first_less_129);
}

// Reads the byte whose entries start at `run`, if they are one well-formed
// byte: a long wave, a medium one, nine bit pairs of a short and a medium
// wave (the medium first for a 1); in half waves each wave is two entries
// of one class. The entries are classed side by side, sixteen at a time.
// Reads the byte's entries (40 half waves or 20 full waves), no more.
template <bool halves>
[[gnu::always_inline]] inline bool read_byte_entries(const std::uint8_t* run, const class_bounds& c, whole_byte& byte)
{
    constexpr unsigned count = halves ? 2 * rom_tape_byte_waves : rom_tape_byte_waves;
    constexpr unsigned wave_entries = halves ? 2 : 1;
    // Entries 0-15, then 16-31 and 24-39 (of which 32-39 are wanted) in half
    // waves, or 4-19 (of which 16-19 are wanted) in full waves.
    constexpr unsigned vectors = halves ? 3 : 2;
    constexpr unsigned starts[3] = {0, halves ? 16U : 4U, 24};
    constexpr unsigned skipped[3] = {0, halves ? 0U : 12U, 8}; // entries already in an earlier vector
    constexpr unsigned placed[3] = {0, 16, 32};                 // bit of the first entry wanted
    constexpr std::uint64_t all = (std::uint64_t{1} << count) - 1;
    constexpr std::uint64_t long_entries = (std::uint64_t{1} << wave_entries) - 1;
    constexpr std::uint64_t marker_medium = long_entries << wave_entries;
    sixteen_bytes shorts[3] = {};
    std::uint64_t either = 0;  // bit j: entry j is a short or a medium wave
    std::uint64_t mediums = 0; // bit j: entry j is a medium wave
    std::uint64_t longs = 0;   // bit j: entry j of the first sixteen is a long wave
    sixteen_signed_bytes v[3] = {};
    // Unrolled, each vector in registers.
#pragma GCC unroll 3
    for (unsigned k = 0; k < vectors; ++k) {
        v[k] = entries_at(run + starts[k]);
        const sixteen_bytes from_short = at_least(v[k], c.short_from);
        const sixteen_bytes from_medium = at_least(v[k], c.medium_from);
        const sixteen_bytes from_long = at_least(v[k], c.long_from);
        shorts[k] = from_short & ~from_medium;
        either |= std::uint64_t{byte_mask(from_short & ~from_long) >> skipped[k]} << placed[k];
        mediums |= std::uint64_t{byte_mask(from_medium & ~from_long) >> skipped[k]} << placed[k];
        if (k == 0) {
            longs = byte_mask(from_long & ~at_least(v[0], c.dropout_from));
        }
    }
    if ((longs & long_entries) != long_entries || (either | long_entries) != all ||
        (mediums & (long_entries | marker_medium)) != marker_medium) {
        return false;
    }
    unsigned bits; // eight data bits, then the parity bit
    if constexpr (halves) {
        // Per bit the entries are medium, medium, short, short for a 1; short, short, medium, medium for a 0.
        const std::uint64_t of_bits = mediums >> 4;
        if (((of_bits ^ of_bits >> 1) & 0x777777777) != 0x222222222) {
            return false;
        }
        bits = every_fourth_bit(of_bits);
    } else {
        // Per bit the entries are medium, short for a 1; short, medium for a 0.
        const std::uint64_t of_bits = mediums >> 2;
        if (((of_bits ^ of_bits >> 1) & 0x15555) != 0x15555) {
            return false;
        }
        bits = every_second_bit(of_bits);
    }
    byte.value = static_cast<std::uint8_t>(bits);
    byte.parity_ok = odd_parity(bits) == 1;
    // The entries in 16-bit lanes of two, (0, 1), (2, 3) ...: each lane of
    // the bits holds one short wave, both its halves or a full wave, the
    // marker's lane none. Its units are those of the lane's short entries.
    // The last vector's lanes that an earlier one holds are left out.
    shorts[vectors - 1] &= halves ? sixteen_bytes{0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}
                                  : sixteen_bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    eight_words short_units = {};
    four_words short_squares = {};
    // Unrolled, each vector in registers.
#pragma GCC unroll 3
    for (unsigned k = 0; k < vectors; ++k) {
        const auto short_lanes = reinterpret_cast<eight_words>((v[k] ^ static_cast<std::int8_t>(-128)) & shorts[k]);
        const eight_words short_wave = (short_lanes & 0xFF) + (short_lanes >> 8);
        short_units += short_wave;
        short_squares += pair_square_sums(short_wave);
    }
    byte.short_units = pair_sums(short_units);
    byte.short_squares = short_squares;
    return true;
}

// Adds `bytes` bytes' short waves, whose units and squares of units are summed in `units` and `squares`.
void add_shorts(short_wave_sums& sums, std::uint64_t bytes, std::uint64_t units, std::uint64_t squares)
{
    // A wave of u units is a half length of 4u cycles.
    sums.count += bytes * byte_short_waves;
    sums.sum += 4 * units;
    sums.squares += 16 * squares;
}

// Reads a whole well-formed byte from the entries at `run`, of which there
// are at least a byte's (20 full waves, or 40 half waves), the first at
// image offset `offset`, leaving the decoder as feeding them one by one
// would; false, and the decoder untouched, if they are anything else.
// A byte of a tape in good order is read here at once, instead of wave by
// wave through the states of on_wave.
bool read_whole_byte(rom_tape_decoder& d, const std::uint8_t* run, std::uint64_t offset)
{
    const bool halves = d.kind == wave_kind::half_waves;
    if (!bytes_readable(d)) {
        return false;
    }
    whole_byte byte;
    const class_bounds bounds = bounds_of(d);
    if (!(halves ? read_byte_entries<true>(run, bounds, byte) : read_byte_entries<false>(run, bounds, byte))) {
        return false;
    }
    // on_wave's steps for these waves: the marker ends a leader, the short
    // waves of the bits are measured, the byte is the format's.
    const unsigned count = halves ? 2 * rom_tape_byte_waves : rom_tape_byte_waves;
    add_shorts(d.short_waves, 1, lane_sum(byte.short_units), lane_sum(byte.short_squares));
    const std::uint64_t cycles = entry_sum(run, count) * entry_unit_cycles;
    d.leader_waves = 0;
    d.leader_cycles = 0;
    d.marker_place = tape_place{d.cycles, offset, d.block, 0};
    // A half wave read first at an odd place: the ROM pairs it with the one before.
    d.marker_turned = halves && d.pulses % 2 == 1;
    d.quiet_waves = 0;
    d.result.format_cycles += cycles;
    // on_byte reads the byte's place from the marker's; the end of the tape
    // is placed at the last pulse read.
    on_byte(d, byte.value, byte.parity_ok);
    d.cycles += cycles;
    d.pulses += count;
    d.offset = offset + count - 1;
    return true;
}

// The well-formed bytes with their parity right that follow at once a byte
// of a copy's payload, from the entries at `run` (`count` of them, the first
// at image offset `offset`), read as read_whole_byte would read them one by
// one; returns the entries read. Such bytes only add to the copy: the state
// that on_byte and read_whole_byte keep for the next byte is written once,
// for the last.
template <bool halves>
std::size_t read_payload_bytes(rom_tape_decoder& d, const std::uint8_t* run, std::size_t count, std::uint64_t offset)
{
    constexpr unsigned byte_entries = halves ? 2 * rom_tape_byte_waves : rom_tape_byte_waves;
    const class_bounds bounds = bounds_of(d);
    std::vector<std::uint8_t>& bytes = d.bytes[d.copy_role];
    std::vector<std::uint8_t>& bad = d.bad[d.copy_role];
    // As many bytes as the run can hold and the copy can take, written in
    // place; the room left over is given back at the end.
    const std::size_t held = bytes.size();
    const std::size_t most = rom_tape_max_payload + 1;
    const std::size_t room = std::min(count / byte_entries, most - std::min(held, most));
    if (room == 0) {
        return 0;
    }
    bytes.resize(held + room);
    std::uint8_t* const out = bytes.data() + held;
    // The short waves' lanes are summed as they come and added up at the
    // end; the squares' lanes (at most 6 × 510² a byte) every thousand bytes.
    constexpr std::size_t squares_flush_bytes = 1024;
    four_words short_units = {0, 0, 0, 0};
    four_words short_squares = {0, 0, 0, 0};
    std::uint64_t squares = 0;
    std::size_t read = 0;
    // A byte's entries span far less than the gap on_byte closes a copy at,
    // and a copy holds at most 65,537 bytes: the lanes of short units never overflow.
    for (; read < room; ++read) {
        whole_byte byte;
        if (!read_byte_entries<halves>(run + read * byte_entries, bounds, byte) || !byte.parity_ok) {
            break;
        }
        out[read] = byte.value;
        short_units += byte.short_units;
        short_squares += byte.short_squares;
        if ((read + 1) % squares_flush_bytes == 0) {
            squares += lane_sum(short_squares);
            short_squares = four_words{0, 0, 0, 0};
        }
    }
    bytes.resize(held + read);
    if (read == 0) {
        return 0;
    }
    bad.resize(bad.size() + read, 0);
    const std::size_t at = read * byte_entries;
    add_shorts(d.short_waves, read, lane_sum(short_units), squares + lane_sum(short_squares));
    const std::uint64_t cycles = entry_sum(run, at) * entry_unit_cycles;
    const std::uint64_t last_cycles = entry_sum(run + at - byte_entries, byte_entries) * entry_unit_cycles;
    const std::uint64_t last_start = d.cycles + cycles - last_cycles;
    d.marker_place = tape_place{last_start, offset + at - byte_entries, d.block, 0};
    d.last_byte_cycles = last_start;
    d.cycles += cycles;
    d.result.format_cycles += cycles;
    d.pulses += at;
    d.offset = offset + at - 1;
    return at;
}

std::size_t read_payload_bytes(rom_tape_decoder& d, const std::uint8_t* run, std::size_t count, std::uint64_t offset)
{
    if (d.copy != rom_tape_decoder::copy_state::payload || d.byte_lost || !bytes_readable(d)) {
        return 0;
    }
    return d.kind == wave_kind::half_waves ? read_payload_bytes<true>(d, run, count, offset)
                                           : read_payload_bytes<false>(d, run, count, offset);
}

void open_copy(rom_tape_decoder& d, unsigned role, const tape_place& place, bool turned)
{
    if (role == 0 && d.copies[0].present) {
        // A first copy again: the block before it has no repeat.
        finish_block(d);
    }
    d.result.found = true;
    d.copy_role = role;
    d.bytes[role].clear();
    d.bad[role].clear();
    d.open_copy = rom_copy{true, with_sample(d, place), place, 0, 0, 0, 0, 0, turned, false, 0};
    d.short_waves = {};
    d.byte_lost = false;
    d.last_byte_cycles = 0;
}

void close_copy(rom_tape_decoder& d, const tape_place& place)
{
    using copy_state = rom_tape_decoder::copy_state;
    if (d.copy == copy_state::none) {
        return;
    }
    if (d.byte_lost) {
        account_lost_bytes(d, place.cycles);
    }
    const unsigned role = d.copy_role;
    rom_copy& copy = d.open_copy;
    copy.end = with_sample(d, place);
    // Whole numbers below 2^53: exact in doubles.
    const short_wave_sums& shorts = d.short_waves;
    if (shorts.count > 1) {
        const double count = static_cast<double>(shorts.count);
        const double mean = static_cast<double>(shorts.sum) / count;
        const double variance = static_cast<double>(shorts.squares) / count - mean * mean;
        copy.spread_percent = variance > 0 ? 100 * std::sqrt(variance) / mean : 0;
    }
    const std::vector<std::uint8_t>& read = d.bytes[role];
    if (d.copy == copy_state::countdown || read.empty()) {
        add_problem(d, rom_problem_kind::missing, place,
                    std::string("the ") + role_name(role) + " of " + block_context(d) + " ends in its countdown");
        copy.bad_bytes = 1;
    } else {
        copy.bytes = read.size() - 1;
        copy.checksum_read = read.back();
        for (std::size_t i = 0; i + 1 < read.size(); ++i) {
            copy.checksum_found ^= read[i];
        }
        if (copy.checksum_found != copy.checksum_read && copy.bad_bytes == 0) {
            char text[32];
            std::snprintf(text, sizeof text, " ($%02X read, $%02X found)", copy.checksum_read, copy.checksum_found);
            add_problem(d, rom_problem_kind::checksum, copy.start,
                        std::string("checksum error in the ") + role_name(role) + " of " + block_context(d) + text);
        }
    }
    if (copy.turned) {
        add_problem(d, rom_problem_kind::polarity, copy.start,
                    std::string("the ") + role_name(role) + " of " + block_context(d) +
                        " has its half waves paired the other way than the ROM pairs them");
    }
    d.copy = copy_state::none;
    d.copies[role] = copy;
    if (role == 1) {
        finish_block(d);
    }
}

bool copy_good(const rom_copy& copy)
{
    return copy.present && !copy.cut && copy.bad_bytes == 0 && copy.checksum_found == copy.checksum_read;
}

// Decides a block from its copies, recovers its bytes into `recovered` and
// hands it to the file it belongs to.
void finish_block(rom_tape_decoder& d)
{
    std::array<rom_copy, 2>& copies = d.copies;
    rom_block block{copies, 0, rom_verdict::lost, 0, 0, {}};
    const rom_copy& first = copies[0];
    const rom_copy& repeat = copies[1];
    d.recovered.clear();
    if (copy_good(first)) {
        d.recovered = d.bytes[0];
    } else if (copy_good(repeat)) {
        d.recovered = d.bytes[1];
    } else if (first.present && repeat.present && first.bytes == repeat.bytes && !d.bytes[0].empty()) {
        // Byte by byte from whichever copy read it.
        d.recovered = d.bytes[0];
        for (std::size_t i = 0; i < d.recovered.size(); ++i) {
            if (d.bad[0][i]) {
                d.recovered[i] = d.bytes[1][i];
            }
        }
        std::uint8_t checksum = 0;
        bool readable = true;
        for (std::size_t i = 0; i < d.recovered.size(); ++i) {
            readable = readable && !(d.bad[0][i] && d.bad[1][i]);
            checksum = i + 1 < d.recovered.size() ? static_cast<std::uint8_t>(checksum ^ d.recovered[i]) : checksum;
        }
        if (!readable || checksum != d.recovered.back()) {
            d.recovered.clear();
        }
    }
    const bool recovered = !d.recovered.empty();
    if (recovered) {
        d.recovered.pop_back(); // the checksum
        block.size = d.recovered.size();
    } else {
        block.size = first.present ? first.bytes : repeat.bytes;
        // The best that can be had, for those who ask for damaged files: the
        // first copy with the bytes it could not read taken from the repeat.
        const unsigned best = first.present ? 0 : 1;
        d.recovered.assign(d.bytes[best].begin(), d.bytes[best].begin() + static_cast<std::ptrdiff_t>(block.size));
        for (std::size_t i = 0; best == 0 && repeat.present && i < block.size && i < d.bytes[1].size(); ++i) {
            d.recovered[i] = d.bad[0][i] && !d.bad[1][i] ? d.bytes[1][i] : d.recovered[i];
        }
    }
    // The ROM reads the first copy, pairing half waves from the tape's start;
    // a byte it cannot read it takes from the repeat; a byte read wrong with
    // its parity right it keeps.
    if (first.present && first.bad_bytes != 0 && repeat.present && recovered) {
        for (std::size_t i = 0; i < d.bytes[0].size(); ++i) {
            if (d.bad[0][i]) {
                block.mended_first = block.mended_bytes == 0 ? i : block.mended_first;
                ++block.mended_bytes;
            }
        }
    }
    if (!recovered) {
        if (!first.present && !repeat.present) {
            block.why = "neither copy was found";
        } else if (!first.present || !repeat.present) {
            block.why = std::string("the ") + (first.present ? "repeat" : "first copy") +
                        " is missing and the other copy is damaged";
        } else {
            block.why = "both copies are damaged in the same bytes";
        }
    } else if (!first.present || first.turned || (repeat.present && repeat.turned && first.bad_bytes != 0)) {
        block.verdict = rom_verdict::recoverable;
        block.why = !first.present ? "the first copy is missing; velmora reads the repeat"
                                   : "its half waves pair the other way than the ROM pairs them; velmora reads them turned";
    } else if (first.spread_percent > rom_tolerated_spread_percent) {
        block.verdict = rom_verdict::recoverable;
        char text[160];
        std::snprintf(text, sizeof text,
                      "the short waves of the first copy spread by %.1f %%, more than the ROM is sure to follow (about %.1f %%)",
                      first.spread_percent, rom_tolerated_spread_percent);
        block.why = text;
    } else if (first.bad_bytes == 0 && first.checksum_found != first.checksum_read) {
        block.verdict = rom_verdict::recoverable;
        block.why = "the ROM loads a wrong byte of the first copy without an error; the repeat holds it right";
    } else if (!repeat.present || repeat.cut) {
        block.verdict = rom_verdict::recoverable;
        block.why = std::string(repeat.present ? "the tape ends inside the repeat" : "the repeat is missing") +
                    (first.bad_bytes == 0 ? "; the first copy is whole" : "");
    } else {
        block.verdict = rom_verdict::loads;
    }
    copies = {};
    std::vector<rom_file>& files = d.result.files;
    const bool header_like = recovered && block.size == rom_tape_header_bytes;
    if (d.awaiting_data && !files.empty()) {
        rom_file& file = files.back();
        file.has_data = true;
        file.data = block;
        d.awaiting_data = false;
        const std::size_t expected = static_cast<std::size_t>(file.end >= file.start ? file.end - file.start : 0);
        if (recovered && block.size != expected) {
            add_problem(d, rom_problem_kind::length, block.copies[0].present ? block.copies[0].start : block.copies[1].start,
                        "the data of " + petscii_name(file.name) + " holds " + std::to_string(block.size) +
                            " bytes, its header says " + std::to_string(expected));
        }
    } else {
        rom_file file{};
        file.header = block;
        if (header_like) {
            file.has_header = true;
            file.type = d.recovered[0];
            file.start = static_cast<std::uint16_t>(d.recovered[1] | d.recovered[2] << 8);
            file.end = static_cast<std::uint16_t>(d.recovered[3] | d.recovered[4] << 8);
            std::copy_n(d.recovered.begin() + rom_tape_name_offset, rom_tape_name_bytes, file.name.begin());
            d.awaiting_data = file.type == static_cast<std::uint8_t>(rom_file_type::basic_program) ||
                              file.type == static_cast<std::uint8_t>(rom_file_type::machine_code);
        } else {
            file.name.fill(' ');
        }
        files.push_back(file);
    }
    rom_file& file = files.back();
    file.verdict = std::max(file.header.verdict, file.has_data ? file.data.verdict : rom_verdict::loads);
    if (!file.has_header) {
        file.verdict = rom_verdict::lost;
        file.why = recovered ? "a block without a header" : "its header is lost: " + file.header.why;
    } else if (file.header.verdict != rom_verdict::loads) {
        file.why = "the header: " + file.header.why;
    } else if (file.has_data && file.data.verdict != rom_verdict::loads) {
        file.why = "the data: " + file.data.why;
    } else {
        file.why.clear();
    }
    if (d.sink && !d.awaiting_data) {
        d.sink(file, file.has_data ? std::span<const std::uint8_t>(d.recovered) : std::span<const std::uint8_t>());
    }
}

} // namespace

void rom_tape_start(rom_tape_decoder& decoder, wave_kind kind, rom_file_sink sink)
{
    decoder = rom_tape_decoder{};
    decoder.kind = kind;
    decoder.sink = std::move(sink);
    for (unsigned i = 0; i < 3; ++i) {
        decoder.centre16[i] = nominal[i] * 16;
    }
    build_table(decoder);
    decoder.asleep = true;
    for (unsigned role = 0; role < 2; ++role) {
        decoder.bytes[role].reserve(rom_tape_max_payload + 1);
        decoder.bad[role].reserve(rom_tape_max_payload + 1);
    }
}

void rom_tape_note_pauses(rom_tape_decoder& decoder, std::uint64_t min_cycles)
{
    assert(min_cycles > 2 * std::uint64_t{rom_tape_long_cycles});
    decoder.pause_from = min_cycles;
}

void rom_tape_stop_decoding(rom_tape_decoder& decoder)
{
    feed_carried(decoder);
    // Asleep with no short pulse, the decoder never wakes: it only sums the time.
    decoder.asleep = true;
    decoder.short_table.fill(0);
    decoder.short_span = 0;
}

void rom_tape_enter_block(rom_tape_decoder& decoder, std::int32_t number, double cycles_per_sample)
{
    feed_carried(decoder);
    decoder.block = number;
    decoder.block_start_cycles = decoder.cycles;
    decoder.cycles_per_sample = cycles_per_sample;
}

namespace {

// Feeds the entries at `run` from the first on while fewer than `stop_at`
// are fed (looking, and reading whole bytes, up to `count`), the first at
// image offset `offset`; returns how many it fed, at least `stop_at` unless
// `carry` lets it stop at a byte's marker with fewer than a byte's entries
// left: those are for the caller to carry into the next run.
std::size_t feed_entries(rom_tape_decoder& d, const std::uint8_t* run, std::size_t count, std::size_t stop_at,
                         std::uint64_t offset, bool carry)
{
    const std::size_t byte_entries = rom_tape_byte_waves * (d.kind == wave_kind::half_waves ? 2U : 1U);
    std::size_t i = 0;
    while (i < stop_at) {
        if (d.asleep) {
            // Only a leader wakes the decoder: count short pulses in a row.
            std::uint64_t in_row = d.sleep_pulses;
            const std::size_t from = i;
            // Sixteen pulses at a time while no leader can be complete within them.
            while (count - i >= 16 && in_row + 16 < wake_pulses) {
                // The short pulses at the end of the sixteen start a new row, or go on with it.
                const std::uint64_t trailing = trailing_shorts(d, run + i);
                in_row = trailing == 16 ? in_row + 16 : trailing;
                i += 16;
            }
            for (; i < count && in_row < wake_pulses; ++i) {
                in_row = (in_row + 1) & (0 - std::uint64_t{d.short_table[run[i]]});
                if (count - i > 16 && in_row == 0) {
                    ++i;
                    break;
                }
            }
            d.cycles += entry_sum(run + from, i - from) * entry_unit_cycles;
            d.pulses += i - from;
            d.sleep_pulses = in_row;
            if (in_row >= wake_pulses) {
                wake(d);
            }
            continue;
        }
        // A byte's marker where on_wave would take it as one (and not fall asleep first).
        if (d.state == rom_tape_decoder::byte_state::idle && !d.holding && d.table[run[i]] == rom_wave::long_wave &&
            d.quiet_waves + 1 < sleep_waves && !d.wave_by_wave) {
            if (count - i < byte_entries && carry) {
                return i;
            }
            if (count - i >= byte_entries && read_whole_byte(d, run + i, offset + i)) {
                i += byte_entries;
                i += read_payload_bytes(d, run + i, count - i, offset + i);
                continue;
            }
        }
        d.offset = offset + i;
        feed(d, std::uint32_t{run[i]} * 8, d.table[run[i]]);
        ++i;
    }
    return i;
}

// Feeds the entries carried from the last run, if any, one by one.
void feed_carried(rom_tape_decoder& d)
{
    const std::size_t held = d.carried_count;
    d.carried_count = 0;
    feed_entries(d, d.carried.data(), held, held, d.carried_offset, false);
}

} // namespace

void rom_tape_feed_run(rom_tape_decoder& decoder, const std::uint8_t* run, std::size_t count, std::uint64_t offset)
{
    rom_tape_decoder& d = decoder;
    std::size_t from = 0;
    if (d.carried_count != 0) {
        // The carried entries, and enough of this run to read a byte that starts among them.
        const std::size_t held = d.carried_count;
        const std::size_t taken = std::min(count, d.carried.size());
        std::array<std::uint8_t, 2 * std::tuple_size_v<decltype(d.carried)>> joined;
        std::copy_n(d.carried.begin(), held, joined.begin());
        std::copy_n(run, taken, joined.begin() + static_cast<std::ptrdiff_t>(held));
        d.carried_count = 0;
        // Stopping short (to carry) only where all of this run is among them.
        const std::size_t fed = feed_entries(d, joined.data(), held + taken, held, d.carried_offset, true);
        if (fed < held) {
            assert(taken == count);
            const std::size_t left = held + taken - fed;
            std::copy_n(joined.begin() + static_cast<std::ptrdiff_t>(fed), left, d.carried.begin());
            d.carried_count = left;
            d.carried_offset += fed;
            return;
        }
        from = fed - held;
    }
    const std::size_t fed = feed_entries(d, run + from, count - from, count - from, offset + from, true);
    if (from + fed < count) {
        d.carried_count = count - from - fed;
        std::copy_n(run + from + fed, d.carried_count, d.carried.begin());
        d.carried_offset = offset + from + fed;
    }
}

void rom_tape_feed_pulse(rom_tape_decoder& decoder, std::uint32_t cycles, std::uint64_t offset)
{
    rom_tape_decoder& d = decoder;
    feed_carried(d);
    const rom_wave wave = classify(d, d.kind == wave_kind::full_waves ? cycles / 2 : cycles);
    if (d.pause_from != 0 && cycles >= d.pause_from) {
        if (d.result.pauses.size() < rom_max_pauses) {
            d.result.pauses.push_back(tape_pause{with_sample(d, tape_place{d.cycles, offset, d.block, 0}), cycles});
        } else {
            ++d.result.pauses_dropped;
        }
    }
    if (d.asleep) {
        // Pulses of 4-byte entries are never short waves.
        d.sleep_pulses = 0;
        d.cycles += cycles;
        ++d.pulses;
        return;
    }
    d.offset = offset;
    feed(d, cycles, wave);
}

void rom_tape_finish(rom_tape_decoder& d)
{
    feed_carried(d);
    using copy_state = rom_tape_decoder::copy_state;
    const tape_place end = with_sample(d, place_now(d));
    std::string cut_where;
    if (d.state != rom_tape_decoder::byte_state::idle || d.copy != copy_state::none) {
        cut_where = std::string("inside the ") + role_name(d.copy_role) + " of " + block_context(d);
        d.byte_lost = d.byte_lost || d.state != rom_tape_decoder::byte_state::idle;
        d.open_copy.cut = true;
        close_copy(d, end);
    } else if (d.copies[0].present) {
        cut_where = "before the repeat of " + block_context(d);
    } else if (d.awaiting_data && !d.result.files.empty()) {
        cut_where = "before the data of " + petscii_name(d.result.files.back().name);
    }
    if (d.copies[0].present) {
        finish_block(d);
    }
    if (d.awaiting_data && !d.result.files.empty()) {
        rom_file& file = d.result.files.back();
        file.verdict = rom_verdict::lost;
        file.why = "its data block never comes";
        d.awaiting_data = false;
        if (d.sink) {
            d.sink(file, {});
        }
    }
    if (!cut_where.empty()) {
        add_problem(d, rom_problem_kind::cut, end, "the tape ends at " + time_text(end.cycles) + " " + cut_where);
    }
    d.result.total_cycles = d.cycles;
    // Leaders found asleep are counted at the learnt short length: never more than the tape.
    d.result.format_cycles = std::min(d.result.format_cycles, d.cycles);
    d.result.classes = classes_of(d);
}

std::string petscii_name(const std::array<std::uint8_t, rom_tape_name_bytes>& name)
{
    std::size_t length = name.size();
    while (length > 0 && name[length - 1] == ' ') {
        --length;
    }
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t c = name[i];
        if (c == 0x5C) {
            text += "\xC2\xA3"; // pound
        } else if (c == 0x5E) {
            text += "\xE2\x86\x91"; // up arrow
        } else if (c == 0x5F) {
            text += "\xE2\x86\x90"; // left arrow
        } else if (c >= 0x20 && c < 0x5C && c != '{' ) {
            text += static_cast<char>(c);
        } else if (c >= 0xC1 && c <= 0xDA) {
            text += static_cast<char>(c - 0x80); // shifted letters shown as capitals
        } else {
            char code[8];
            std::snprintf(code, sizeof code, "{$%02X}", c);
            text += code;
        }
    }
    return text;
}

const char* verdict_word(rom_verdict verdict)
{
    switch (verdict) {
    case rom_verdict::loads:
        return "loads";
    case rom_verdict::recoverable:
        return "recoverable";
    case rom_verdict::lost:
        return "lost";
    }
    return "lost";
}

const char* file_type_name(std::uint8_t type)
{
    switch (static_cast<rom_file_type>(type)) {
    case rom_file_type::basic_program:
        return "program";
    case rom_file_type::data_block:
        return "data block";
    case rom_file_type::machine_code:
        return "machine code";
    case rom_file_type::data_file:
        return "data file";
    case rom_file_type::end_of_tape:
        return "end of tape";
    }
    return "unknown";
}

} // namespace velmora

// The ROM tape encoding of make_capture --program, read back wave by wave.
#include "rom_tape/rom_tape_decoder.h"
#include "signal/pulse_measurement.h"
#include "tape_files/tap_file.h"
#include "test_support/capture_builder.h"
#include "test_support/rom_tape_fingerprint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora::capture {
namespace {

using bytes = std::vector<std::uint8_t>;

// One run of bytes between two leaders, with the short waves before it.
struct byte_run {
    std::size_t leader_waves;
    bytes values;
};

struct decoded_tape {
    std::vector<byte_run> runs;
    std::size_t trailer_waves = 0;
    std::string fault; // empty when every wave and byte was well formed
};

// Reads half waves back: full waves of two equal halves, classified by
// length; a long-medium marker opens each byte, then nine bit pairs.
decoded_tape decode(const std::vector<std::uint32_t>& half_waves)
{
    decoded_tape tape;
    if (half_waves.size() % 2 != 0) {
        tape.fault = "odd number of half waves";
        return tape;
    }
    std::vector<std::uint32_t> waves;
    for (std::size_t i = 0; i < half_waves.size(); i += 2) {
        if (half_waves[i] != half_waves[i + 1]) {
            tape.fault = "unequal halves at half wave " + std::to_string(i);
            return tape;
        }
        waves.push_back(half_waves[i]);
    }
    const auto bit_at = [&](std::size_t i, bool& bit) {
        if (i + 1 >= waves.size()) {
            return false;
        }
        bit = waves[i] == rom_tape_medium_cycles;
        return (waves[i] == rom_tape_short_cycles && waves[i + 1] == rom_tape_medium_cycles) ||
               (waves[i] == rom_tape_medium_cycles && waves[i + 1] == rom_tape_short_cycles);
    };
    std::size_t i = 0;
    while (i < waves.size()) {
        std::size_t shorts = 0;
        while (i < waves.size() && waves[i] == rom_tape_short_cycles) {
            ++shorts;
            ++i;
        }
        if (i == waves.size()) {
            tape.trailer_waves = shorts;
            break;
        }
        byte_run run{shorts, {}};
        while (i + 1 < waves.size() && waves[i] == rom_tape_long_cycles && waves[i + 1] == rom_tape_medium_cycles) {
            i += 2;
            unsigned value = 0;
            unsigned ones = 0;
            for (unsigned bit = 0; bit < 9; ++bit, i += 2) {
                bool one = false;
                if (!bit_at(i, one)) {
                    tape.fault = "bad bit pair at wave " + std::to_string(i);
                    return tape;
                }
                value |= (one && bit < 8) ? 1U << bit : 0U;
                ones += one ? 1U : 0U;
            }
            if (ones % 2 != 1) {
                tape.fault = "even parity in byte " + std::to_string(run.values.size());
                return tape;
            }
            run.values.push_back(static_cast<std::uint8_t>(value));
        }
        if (run.values.empty()) {
            tape.fault = "neither a short wave nor a marker at wave " + std::to_string(i);
            return tape;
        }
        tape.runs.push_back(run);
    }
    return tape;
}

// A copy of a block as it must appear: countdown, payload, XOR checksum.
bytes block_copy(std::uint8_t countdown_flag, const bytes& payload)
{
    bytes copy;
    std::uint8_t checksum = 0;
    for (unsigned count = 9; count >= 1; --count) {
        copy.push_back(static_cast<std::uint8_t>(countdown_flag | count));
    }
    for (const std::uint8_t value : payload) {
        copy.push_back(value);
        checksum ^= value;
    }
    copy.push_back(checksum);
    return copy;
}

struct program_case {
    const char* label;
    std::uint16_t start;
    bytes program;
    std::string name;
    std::string stored_name; // the 16 name bytes of the header
};

bytes every_byte_value()
{
    bytes values;
    for (unsigned v = 0; v < 256; ++v) {
        values.push_back(static_cast<std::uint8_t>(v));
    }
    return values;
}

class rom_tape_program_encoding : public testing::TestWithParam<program_case> {};

TEST_P(rom_tape_program_encoding, reads_back_as_header_and_data_blocks_each_sent_twice)
{
    const program_case& c = GetParam();
    const decoded_tape tape = decode(rom_tape_program(c.start, c.program, c.name));
    ASSERT_EQ(tape.fault, "");
    ASSERT_EQ(tape.runs.size(), 4U);

    const std::size_t end = c.start + c.program.size();
    bytes header = {1, static_cast<std::uint8_t>(c.start), static_cast<std::uint8_t>(c.start >> 8),
                    static_cast<std::uint8_t>(end), static_cast<std::uint8_t>(end >> 8)};
    header.insert(header.end(), c.stored_name.begin(), c.stored_name.end());
    header.resize(rom_tape_header_bytes, ' ');

    EXPECT_EQ(tape.runs[0].values, block_copy(0x80, header));
    EXPECT_EQ(tape.runs[1].values, block_copy(0x00, header));
    EXPECT_EQ(tape.runs[2].values, block_copy(0x80, c.program));
    EXPECT_EQ(tape.runs[3].values, block_copy(0x00, c.program));
    // Leaders: before a block, between its copies, after a block (which
    // runs on into the next block's leader).
    EXPECT_EQ(tape.runs[0].leader_waves, 5000U);
    EXPECT_EQ(tape.runs[1].leader_waves, 80U);
    EXPECT_EQ(tape.runs[2].leader_waves, 450U + 5000U);
    EXPECT_EQ(tape.runs[3].leader_waves, 80U);
    EXPECT_EQ(tape.trailer_waves, 450U);
}

INSTANTIATE_TEST_SUITE_P(
    programs, rom_tape_program_encoding,
    testing::Values(
        program_case{"basic_line", 0x1001,
                     {0x0F, 0x10, 0x0A, 0x00, 0x99, ' ', '"', 'H', 'E', 'L', 'L', 'O', '"', 0x00, 0x00, 0x00},
                     "VELMORA", "VELMORA         "},
        program_case{"one_byte_no_name", 0x1001, {0x00}, "", "                "},
        program_case{"name_cut_to_16", 0x2000, {0xFF, 0x01}, "ABCDEFGHIJKLMNOPQR", "ABCDEFGHIJKLMNOP"},
        // Every value once: each bit pattern and its parity bit.
        program_case{"every_byte_value", 0x1001, every_byte_value(), "ALL", "ALL             "}),
    [](const testing::TestParamInfo<program_case>& each) { return std::string(each.param.label); });

struct period_case {
    std::uint8_t period;
    std::vector<std::uint32_t> samples; // of a short, medium and long half wave, and of 100 cycles
};

class rom_tape_sampling : public testing::TestWithParam<period_case> {};

TEST_P(rom_tape_sampling, rounds_each_half_wave_to_the_nearest_sample_count_and_at_least_one)
{
    const std::vector<std::uint32_t> cycles = {rom_tape_short_cycles, rom_tape_medium_cycles, rom_tape_long_cycles,
                                               100};
    EXPECT_EQ(cycles_to_samples(cycles, GetParam().period), GetParam().samples);
}

// One sample of period p lasts 1.04 x p cycles.
INSTANTIATE_TEST_SUITE_P(periods, rom_tape_sampling,
                         testing::Values(period_case{1, {201, 407, 789, 96}},  // 200.96, 406.73, 789.42, 96.15
                                         period_case{20, {10, 20, 39, 5}},     // 10.05, 20.34, 39.47, 4.81
                                         period_case{25, {8, 16, 32, 4}},      // 8.04, 16.27, 31.58, 3.85
                                         period_case{40, {5, 10, 20, 2}},      // 5.02, 10.17, 19.74, 2.40
                                         period_case{255, {1, 2, 3, 1}}));     // 0.79, 1.60, 3.10, 0.38

} // namespace
} // namespace velmora::capture

namespace velmora {
namespace {

struct decoded_file {
    rom_file file;
    std::vector<std::uint8_t> data;
};

// Pulses of `half_waves` (clock cycles) played `percent` % slower and
// sampled at `period`, as velmora writes them in `version` 2 (half waves)
// or 1 (full waves, twice the low phase), fed to the decoder as one-byte
// entries (the lengths here stay below 256 units). Fed once in one run,
// once one entry at a time wave by wave (where the decoder reads no byte
// whole), and once in runs of many lengths, the decoder must find the same,
// each time as a capture of two blocks.
rom_tape_result decode_sampled(const std::vector<std::uint32_t>& half_waves, unsigned percent, std::uint8_t period,
                               int version, std::vector<decoded_file>& files)
{
    std::vector<std::uint32_t> slowed;
    for (const std::uint32_t cycles : half_waves) {
        slowed.push_back(cycles * percent / 100);
    }
    const std::vector<std::uint32_t> samples = capture::cycles_to_samples(slowed, period);
    std::vector<std::uint8_t> entries;
    for (std::size_t i = 0; i < samples.size(); i += version == 2 ? 1 : 2) {
        entries.push_back(static_cast<std::uint8_t>(version == 2 ? half_wave_value(samples[i], period)
                                                                 : full_wave_value(samples[i], period)));
    }
    const wave_kind kind = version == 2 ? wave_kind::half_waves : wave_kind::full_waves;
    // As a capture of two blocks, the second from the middle on, fed in
    // pieces of the lengths next_piece gives.
    const std::size_t second_block = entries.size() / 2;
    const auto feed = [&entries, second_block, period](rom_tape_decoder& decoder, auto next_piece) {
        rom_tape_enter_block(decoder, 1, period);
        for (std::size_t at = 0; at < entries.size();) {
            if (at == second_block) {
                rom_tape_enter_block(decoder, 2, period);
            }
            const std::size_t block_end = at < second_block ? second_block : entries.size();
            const std::size_t end = std::min({at + next_piece(), block_end});
            rom_tape_feed_run(decoder, &entries[at], end - at, tap_header_size + at);
            at = end;
        }
        rom_tape_finish(decoder);
    };
    rom_tape_decoder decoder;
    rom_tape_start(decoder, kind, [&files](const rom_file& file, std::span<const std::uint8_t> data) {
        files.push_back(decoded_file{file, {data.begin(), data.end()}});
    });
    feed(decoder, [] { return SIZE_MAX / 2; });
    std::vector<std::uint8_t> data_one_by_one;
    rom_tape_decoder one_by_one;
    rom_tape_start(one_by_one, kind, [&data_one_by_one](const rom_file&, std::span<const std::uint8_t> data) {
        data_one_by_one.insert(data_one_by_one.end(), data.begin(), data.end());
    });
    one_by_one.wave_by_wave = true;
    feed(one_by_one, [] { return std::size_t{1}; });
    EXPECT_EQ(rom_tape_fingerprint(decoder.result), rom_tape_fingerprint(one_by_one.result));
    // In runs of 1 to 83 entries, bytes across two or more runs are read whole too.
    rom_tape_decoder in_pieces;
    rom_tape_start(in_pieces, kind);
    std::size_t piece = 0;
    feed(in_pieces, [&piece] { return piece = piece % 83 + 1; });
    EXPECT_EQ(rom_tape_fingerprint(in_pieces.result), rom_tape_fingerprint(one_by_one.result));
    std::vector<std::uint8_t> data_in_one_run;
    for (const decoded_file& file : files) {
        data_in_one_run.insert(data_in_one_run.end(), file.data.begin(), file.data.end());
    }
    EXPECT_EQ(data_in_one_run, data_one_by_one);
    return decoder.result;
}

// Encode a random program, decode it: the same bytes, name and addresses,
// whatever the pulse kind, sample period and tape speed within 5 %.
TEST(rom_tape_round_trip, a_random_program_decodes_to_its_own_bytes)
{
    std::uint64_t state = 7;
    const auto next = [&state] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::uint32_t>(state >> 33);
    };
    for (const int version : {1, 2}) {
        for (const std::uint8_t period : {std::uint8_t{20}, std::uint8_t{25}, std::uint8_t{40}}) {
            for (const unsigned percent : {95U, 100U, 105U}) {
                std::vector<std::uint8_t> program(1 + next() % 300);
                for (std::uint8_t& value : program) {
                    value = static_cast<std::uint8_t>(next());
                }
                const auto start = static_cast<std::uint16_t>(0x1001 + next() % 0x4000);
                std::vector<decoded_file> files;
                const rom_tape_result result =
                    decode_sampled(rom_tape_program(start, program, "PROG\\^_" + std::to_string(period)), percent,
                                   period, version, files);
                const std::string label = "version " + std::to_string(version) + ", period " +
                                          std::to_string(period) + ", speed " + std::to_string(percent) + " %";
                ASSERT_EQ(files.size(), 1U) << label;
                EXPECT_EQ(files[0].data, program) << label;
                EXPECT_EQ(files[0].file.verdict, rom_verdict::loads) << label << ": " << files[0].file.why;
                EXPECT_EQ(files[0].file.start, start) << label;
                EXPECT_EQ(files[0].file.end, start + program.size()) << label;
                EXPECT_EQ(petscii_name(files[0].file.name), "PROG\u00A3\u2191\u2190" + std::to_string(period)) << label;
                EXPECT_TRUE(result.problems.empty()) << label << ": " << result.problems[0].text;
                // Leaders and bytes are all of the tape.
                EXPECT_LE(result.format_cycles, result.total_cycles) << label;
                EXPECT_GE(result.format_cycles * 1000 / result.total_cycles, 999U) << label;
            }
        }
    }
}

// Damaged tapes, where the decoder leaves the whole-byte path for the
// wave-by-wave one and back at every kind of place: what it finds is the
// same fed in one run as fed one entry at a time (decode_sampled checks).
TEST(rom_tape_whole_bytes, find_what_the_waves_one_by_one_find_on_damaged_tapes)
{
    std::uint64_t state = 11;
    const auto next = [&state] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::uint32_t>(state >> 33);
    };
    for (unsigned round = 0; round < 24; ++round) {
        std::vector<std::uint8_t> program(1 + next() % 200);
        for (std::uint8_t& value : program) {
            value = static_cast<std::uint8_t>(next());
        }
        std::vector<std::uint32_t> half_waves = rom_tape_program(0x1001, program, "DAMAGED");
        capture::add_jitter(half_waves, round % 4 * 4, next());
        for (unsigned hit = 0; hit < round % 5; ++hit) {
            capture::add_glitch(half_waves, 3000 + next() % (half_waves.size() - 6000), 24);
            capture::add_dropout(half_waves, 3000 + next() % (half_waves.size() - 6000), 1 + 2 * (next() % 3));
        }
        if (round % 3 == 1) {
            half_waves.insert(half_waves.begin(), rom_tape_short_cycles);
        }
        if (round % 6 == 5) {
            std::uint64_t total = 0;
            for (const std::uint32_t cycles : half_waves) {
                total += cycles;
            }
            capture::cut_at(half_waves, total * (50 + next() % 50) / 100);
        }
        std::vector<decoded_file> files;
        decode_sampled(half_waves, 100, 20, 1 + static_cast<int>(round % 2), files);
    }
    // The tape cut right after a whole byte, in each copy of each block: it
    // ends where the last byte read ends.
    for (unsigned block = 0; block < 2; ++block) {
        for (unsigned copy = 0; copy < 2; ++copy) {
            std::vector<std::uint32_t> half_waves = rom_tape_program(0x1001, {1, 2, 3}, "CUT");
            half_waves.resize(rom_tape_byte_half_wave(3, block, copy, 2));
            for (const int version : {1, 2}) {
                std::vector<decoded_file> files;
                decode_sampled(half_waves, 100, 20, version, files);
            }
        }
    }
    // The first byte after about as many waves of no byte as put the decoder to sleep.
    for (const std::size_t quiet_waves : {2046U, 2047U, 2048U}) {
        std::vector<std::uint32_t> half_waves = rom_tape_program(0x1001, {1, 2, 3}, "QUIET");
        const auto first_byte = std::find(half_waves.begin(), half_waves.end(), rom_tape_long_cycles);
        half_waves.insert(first_byte, 2 * quiet_waves, rom_tape_medium_cycles);
        std::vector<decoded_file> files;
        decode_sampled(half_waves, 100, 20, 2, files);
    }
}

struct damage_case {
    const char* label;
    std::vector<rom_tape_byte_fault> faults;
    bool turned;                             // one half wave more at the start
    rom_verdict verdict;
    bool recovered;                          // the program's own bytes come out
};

class rom_tape_damage : public testing::TestWithParam<damage_case> {};

// Byte 3 of the data sent wrong in one copy or both, with its parity right
// or wrong, and the half waves paired the other way.
TEST_P(rom_tape_damage, grades_each_file_by_what_the_rom_and_velmora_make_of_it)
{
    const damage_case& c = GetParam();
    const std::vector<std::uint8_t> program = {0x0F, 0x10, 0x0A, 0x00, 0x99, 0x22, 0x48, 0x49, 0x22, 0x00, 0x00, 0x00};
    std::vector<std::uint32_t> half_waves = rom_tape_program(0x1001, program, "HI", c.faults);
    if (c.turned) {
        half_waves.insert(half_waves.begin(), rom_tape_short_cycles);
    }
    std::vector<decoded_file> files;
    decode_sampled(half_waves, 100, 20, 2, files);
    ASSERT_EQ(files.size(), 1U);
    EXPECT_EQ(files[0].file.verdict, c.verdict) << files[0].file.why;
    EXPECT_EQ(files[0].data == program, c.recovered);
}

INSTANTIATE_TEST_SUITE_P(
    faults, rom_tape_damage,
    testing::Values(damage_case{"clean", {}, false, rom_verdict::loads, true},
                    damage_case{"first_copy_wrong_parity_right", {{1, 0, 3, 0x40, true}}, false,
                                rom_verdict::recoverable, true},
                    damage_case{"first_copy_parity_error", {{1, 0, 3, 0x40, false}}, false, rom_verdict::loads, true},
                    damage_case{"repeat_parity_error", {{1, 1, 3, 0x40, false}}, false, rom_verdict::loads, true},
                    damage_case{"both_copies_parity_error", {{1, 0, 3, 0x40, false}, {1, 1, 3, 0x40, false}}, false,
                                rom_verdict::lost, false},
                    damage_case{"polarity_turned", {}, true, rom_verdict::recoverable, true}),
    [](const testing::TestParamInfo<damage_case>& each) { return std::string(each.param.label); });

} // namespace
} // namespace velmora

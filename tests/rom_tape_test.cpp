// The ROM tape encoding of make_capture --program, read back wave by wave.
#include "test_support/capture_builder.h"

#include <gtest/gtest.h>

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

#include "signal/one_byte_scaling.h"
#include "signal/pulse_measurement.h"
#include "signal/scan_paths.h"
#include "tape_files/tap_entry.h"
#include "test_support/reference_scan.h"
#include "test_support/capture_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

namespace velmora {

// Names a scan path in test parameters.
void PrintTo(const scan_path& path, std::ostream* stream)
{
    *stream << path.name;
}

namespace {

using bytes = std::vector<std::uint8_t>;

// The wave kind of a TAP version as the command lines read it: 2 half
// waves, anything else full waves.
constexpr wave_kind waves_of(int version)
{
    return version == 2 ? wave_kind::half_waves : wave_kind::full_waves;
}

struct conversion {
    bytes entries;
    pulse_state state;
};

// Converts `samples` in chunks whose lengths are taken in turn from `splits`
// (the last one repeated), all with one period.
conversion convert(const bytes& samples, std::uint8_t period, int version, const std::vector<std::size_t>& splits,
                   pulse_state state = {})
{
    conversion result{{}, state};
    static std::uint8_t out[pulse_output_capacity];
    std::size_t offset = 0;
    for (std::size_t turn = 0; offset < samples.size(); ++turn) {
        const std::size_t wanted = splits[std::min(turn, splits.size() - 1)];
        const std::size_t length = std::min({wanted, samples.size() - offset, max_chunk_bytes});
        const std::size_t size = convert_chunk(samples.data() + offset, length, period, waves_of(version), result.state, out);
        result.entries.insert(result.entries.end(), out, out + size);
        offset += length;
    }
    return result;
}

conversion convert(const bytes& samples, std::uint8_t period, int version)
{
    return convert(samples, period, version, {max_chunk_bytes});
}

struct scaling_case {
    std::uint64_t n;
    std::uint8_t p;
    std::uint64_t half_wave;
    std::uint64_t full_wave;
};

class scaling : public testing::TestWithParam<scaling_case> {};

TEST_P(scaling, rounds_exactly_in_integers)
{
    EXPECT_EQ(half_wave_value(GetParam().n, GetParam().p), GetParam().half_wave);
    EXPECT_EQ(full_wave_value(GetParam().n, GetParam().p), GetParam().full_wave);
}

INSTANTIATE_TEST_SUITE_P(
    values, scaling,
    testing::Values(scaling_case{5, 20, 13, 25}, scaling_case{4, 20, 10, 20}, scaling_case{101, 200, 2626, 5101},
                    // Evaluated in doubles the full wave comes out one low: 1868.
                    scaling_case{296, 25, 962, 1869},
                    // Rounding boundaries, worked out by hand. A rounding term
                    // one low fails the rows on a boundary, one high the rows
                    // one below it.
                    // n·p = 50: half 13·50 + 50 = 700, on a multiple of 100 -> 7;
                    //           full 101·50 + 200 = 5250 -> 13.
                    scaling_case{2, 25, 7, 13},
                    // n·p = 73: half 13·73 + 50 = 999, one below 1000 -> 9;
                    //           full 101·73 + 200 = 7573 -> 18.
                    scaling_case{1, 73, 9, 18},
                    // n·p = 200: half 13·200 + 50 = 2650 -> 26;
                    //            full 101·200 + 200 = 20400, on a multiple of 400 -> 51.
                    scaling_case{8, 25, 26, 51},
                    // n·p = 299: half 13·299 + 50 = 3937 -> 39;
                    //            full 101·299 + 200 = 30399, one below 30400 -> 75.
                    scaling_case{13, 23, 39, 75},
                    // Values of 0: half waves up to n × p = 3, full waves up to n × p = 1.
                    scaling_case{1, 1, 0, 0}, scaling_case{1, 2, 0, 1}, scaling_case{3, 1, 0, 1},
                    scaling_case{1, 4, 1, 1}, scaling_case{1, 0, 0, 0},
                    // Phases of 2^31 samples and more stay exact.
                    scaling_case{std::uint64_t{1} << 31, 255, 71189082931, 138271103386}));

struct measurement_case {
    const char* name;
    bytes samples;
    std::uint8_t period;
    int version;
    bytes entries;
    std::uint8_t level;
    std::uint64_t count;
    std::uint64_t asymmetric;
};

class measurement : public testing::TestWithParam<measurement_case> {};

TEST_P(measurement, writes_entries_and_leaves_the_open_phase_in_the_state)
{
    const measurement_case& c = GetParam();
    const conversion result = convert(c.samples, c.period, c.version);
    EXPECT_EQ(result.entries, c.entries);
    EXPECT_EQ(result.state.level, c.level);
    EXPECT_EQ(result.state.count, c.count);
    EXPECT_EQ(result.state.asymmetric_pulses, c.asymmetric);
}

bytes twelve_low_then_0f()
{
    bytes samples(12, 0x00);
    samples.push_back(0x0F);
    return samples;
}

INSTANTIATE_TEST_SUITE_P(
    examples, measurement,
    testing::Values(
        measurement_case{"half_waves", {0x0F, 0x0F}, 20, 2, {0x0D, 0x0A, 0x0A}, 1, 3, 0},
        // The falling edge ends a high phase of 4 after a low phase of 5.
        measurement_case{"full_waves", {0x0F, 0x0F}, 20, 1, {0x19, 0x14}, 1, 3, 1},
        measurement_case{"long_half_wave", twelve_low_then_0f(), 200, 2, {0x00, 0x10, 0x52, 0x00}, 1, 3, 0},
        measurement_case{"no_edge", bytes(5, 0x00), 20, 2, {}, 0, 40, 0},
        // Every edge of a block with period 0 scales to 0, stored as 1.
        measurement_case{"period_zero", {0x55}, 0, 2, bytes(7, 0x01), 1, 0, 0},
        measurement_case{"any_version_but_2_is_full_waves", {0x0F, 0x0F}, 20, 7, {0x19, 0x14}, 1, 3, 1}),
    [](const testing::TestParamInfo<measurement_case>& test) { return test.param.name; });

// A low phase of `low` samples then a high phase of `high`, each closed by an
// edge, measured from a fresh state.
std::uint64_t asymmetric_count(std::uint32_t low, std::uint32_t high)
{
    // From a fresh state the first edge counts its own sample: low - 1 zeros.
    const bytes samples = capture::pack_phases({low - 1, high, 1});
    return convert(samples, 20, 1).state.asymmetric_pulses;
}

TEST(asymmetry, counts_high_phases_shorter_or_more_than_three_samples_longer)
{
    EXPECT_EQ(asymmetric_count(10, 10), 0U);
    EXPECT_EQ(asymmetric_count(10, 13), 0U);
    EXPECT_EQ(asymmetric_count(10, 14), 1U);
    EXPECT_EQ(asymmetric_count(10, 9), 1U);
    EXPECT_EQ(asymmetric_count(40, 20), 1U);
}

TEST(phases, run_on_across_chunks_and_are_scaled_with_the_period_where_they_end)
{
    pulse_state state{};
    std::uint8_t out[pulse_output_capacity];
    const bytes low(300, 0x00);
    EXPECT_EQ(convert_chunk(low.data(), low.size(), 20, wave_kind::half_waves, state, out), 0U);
    const std::uint8_t rising = 0xFF;
    ASSERT_EQ(convert_chunk(&rising, 1, 200, wave_kind::half_waves, state, out), 4U);
    // 2401 samples at period 200: (13 × 2401 × 200 + 50) / 100 = 62426.
    const bytes expected = {0x00, 0xD0, 0x9E, 0x07};
    EXPECT_EQ(bytes(out, out + 4), expected);
}

class chunk_splits : public testing::TestWithParam<capture::pattern> {};

TEST_P(chunk_splits, give_the_same_entries_and_state_at_any_byte_boundary)
{
    const bytes samples = capture::pack_phases(capture::random_phases(GetParam(), 7, 6000 * 8));
    for (const int version : {1, 2}) {
        const conversion whole = convert(samples, 37, version);
        for (const std::vector<std::size_t>& splits :
             {std::vector<std::size_t>{1}, {3}, {7, 1, 2048}, {2047, 2}, {999, 13}}) {
            const conversion split = convert(samples, 37, version, splits);
            EXPECT_EQ(split.entries, whole.entries) << "version " << version << ", first split " << splits[0];
            EXPECT_EQ(split.state.count, whole.state.count);
            EXPECT_EQ(split.state.level, whole.state.level);
            EXPECT_EQ(split.state.low_length, whole.state.low_length);
            EXPECT_EQ(split.state.asymmetric_pulses, whole.state.asymmetric_pulses);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(patterns, chunk_splits,
                         testing::Values(capture::pattern::tape, capture::pattern::sparse, capture::pattern::dense));

TEST(output_capacity, holds_the_largest_output_of_a_full_chunk)
{
    // Alternating samples give one entry per sample; a long phase carried in
    // gives the first one 4 bytes.
    pulse_state state{0, 1000000, 0, 0};
    const bytes dense(max_chunk_bytes, 0xAA);
    static std::uint8_t out[pulse_output_capacity];
    const std::size_t size = convert_chunk(dense.data(), dense.size(), 255, wave_kind::half_waves, state, out);
    EXPECT_EQ(size, max_chunk_bytes * 8 + 3);
    EXPECT_LE(size + tap_max_entry_size, pulse_output_capacity);
}

// The test name of a scan path: its name with '-' as '_'.
std::string path_name(const scan_path& path)
{
    std::string name = path.name;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

// Feeds the same chunks to a scan path and to the per-sample loop, each with
// its own state carried from call to call, and stops at the first chunk
// where entries or state differ.
struct side_by_side {
    chunk_converter convert;
    pulse_state path_state{};
    pulse_state reference_state{};

    void compare(const std::uint8_t* samples, std::size_t length, std::uint8_t period, int version)
    {
        static std::uint8_t path_out[pulse_output_capacity];
        static std::uint8_t reference_out[pulse_output_capacity];
        const std::size_t path_size = convert(samples, length, period, waves_of(version), path_state, path_out);
        const std::size_t reference_size =
            convert_chunk_reference(samples, length, period, waves_of(version), reference_state, reference_out);
        ASSERT_EQ(bytes(path_out, path_out + path_size), bytes(reference_out, reference_out + reference_size));
        ASSERT_EQ(path_state.level, reference_state.level);
        ASSERT_EQ(path_state.count, reference_state.count);
        ASSERT_EQ(path_state.low_length, reference_state.low_length);
        ASSERT_EQ(path_state.asymmetric_pulses, reference_state.asymmetric_pulses);
    }
};

// Each scan path against the per-sample loop: random signals of every kind,
// random periods (0 and 255 among them), both versions, random chunk
// lengths, and the state carried from call to call.
class scan_path_signals : public testing::TestWithParam<std::tuple<scan_path, int>> {};

TEST_P(scan_path_signals, match_the_per_sample_loop_entry_for_entry_and_state_for_state)
{
    const auto [path, signal] = GetParam();
    std::uint64_t seed = 0x5EED0000U + static_cast<std::uint64_t>(signal);
    const auto next = [&seed] {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return seed >> 33;
    };
    const int kind = signal % 4;
    bytes samples;
    if (kind == 3) {
        samples.resize(20000);
        for (std::uint8_t& byte : samples) {
            byte = static_cast<std::uint8_t>(next());
        }
    } else {
        samples = capture::pack_phases(capture::random_phases(static_cast<capture::pattern>(kind), next(), 20000 * 8),
                                       static_cast<int>(next() % 2));
    }
    for (const int version : {1, 2}) {
        side_by_side scans{path.convert};
        std::size_t offset = 0;
        while (offset < samples.size()) {
            const std::size_t length = std::min<std::size_t>(samples.size() - offset, 1 + next() % max_chunk_bytes);
            const std::uint64_t draw = next() % 8;
            const auto period = static_cast<std::uint8_t>(draw == 0 ? 0 : draw == 1 ? 255 : next() % 256);
            SCOPED_TRACE("version " + std::to_string(version) + ", chunk at " + std::to_string(offset) +
                         ", length " + std::to_string(length) + ", period " + std::to_string(period));
            ASSERT_NO_FATAL_FAILURE(scans.compare(samples.data() + offset, length, period, version));
            offset += length;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(signals, scan_path_signals,
                         testing::Combine(testing::ValuesIn(available_scan_paths().begin(),
                                                            available_scan_paths().end()),
                                          testing::Range(0, 24)),
                         [](const testing::TestParamInfo<std::tuple<scan_path, int>>& test) {
                             return path_name(std::get<0>(test.param)) + "_" +
                                    std::to_string(std::get<1>(test.param));
                         });

// Every phase length from 1 sample to past the longest one whose entry fits
// in one byte, at every period: the vector lanes hold exactly these, and the
// phase just past the limit must leave them. Low and high phases both run
// through every length, and a high phase up to 5 samples longer or shorter
// than its low phase exercises the symmetry check.
class scan_path_periods : public testing::TestWithParam<scan_path> {};

TEST_P(scan_path_periods, scale_every_one_byte_phase_of_every_period_exactly)
{
    for (unsigned period = 0; period < 256; ++period) {
        const auto p = static_cast<std::uint8_t>(period);
        const std::uint32_t longest =
            std::min<std::uint32_t>(std::max(one_byte_half_wave_limit(p), one_byte_full_wave_limit(p)), 2100) + 2;
        std::vector<std::uint32_t> phases;
        for (std::uint32_t n = 1; n <= longest; ++n) {
            phases.push_back(n);
            phases.push_back(n + n % 11 < 5 ? n : n + n % 11 - 5);
        }
        const bytes samples = capture::pack_phases(phases);
        for (const int version : {1, 2}) {
            side_by_side scans{GetParam().convert};
            for (std::size_t offset = 0; offset < samples.size(); offset += max_chunk_bytes) {
                const std::size_t length = std::min(max_chunk_bytes, samples.size() - offset);
                SCOPED_TRACE("period " + std::to_string(period) + ", version " + std::to_string(version) +
                             ", chunk at " + std::to_string(offset));
                ASSERT_NO_FATAL_FAILURE(scans.compare(samples.data() + offset, length, p, version));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(paths, scan_path_periods,
                         testing::ValuesIn(available_scan_paths().begin(), available_scan_paths().end()),
                         [](const testing::TestParamInfo<scan_path>& test) { return path_name(test.param); });

TEST(scan_paths, hold_the_portable_path_last)
{
    const std::span<const scan_path> paths = available_scan_paths();
    ASSERT_FALSE(paths.empty());
    EXPECT_STREQ(paths.back().name, "portable");
}

// The one-byte scaling of the vector lanes against the exact formulas, for
// every period and every phase up to the one-byte limit, and the limit
// itself: the phase one sample longer no longer fits in one byte.
TEST(one_byte_scaling, matches_the_exact_formulas_for_every_period_and_phase)
{
    for (unsigned period = 0; period < 256; ++period) {
        const auto p = static_cast<std::uint8_t>(period);
        const std::uint16_t half_limit = one_byte_half_wave_limit(p);
        const std::uint16_t full_limit = one_byte_full_wave_limit(p);
        for (std::uint32_t n = 0; n <= half_limit; ++n) {
            const std::uint64_t exact = half_wave_value(n, p);
            ASSERT_LE(exact, 255U) << "period " << period << ", phase " << n;
            ASSERT_EQ(half_wave_value_in_lane(static_cast<std::uint16_t>(n), p), exact)
                << "period " << period << ", phase " << n;
        }
        for (std::uint32_t n = 0; n <= full_limit; ++n) {
            const std::uint64_t exact = full_wave_value(n, p);
            ASSERT_LE(exact, 255U) << "period " << period << ", phase " << n;
            ASSERT_EQ(full_wave_value_in_lane(n, p), exact) << "period " << period << ", phase " << n;
        }
        if (period > 0) {
            EXPECT_GT(half_wave_value(half_limit + 1U, p), 255U) << "period " << period;
            EXPECT_GT(full_wave_value(full_limit + 1U, p), 255U) << "period " << period;
        }
    }
}

} // namespace
} // namespace velmora

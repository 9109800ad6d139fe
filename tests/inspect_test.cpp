// The inspection library: the TAP entry reader, the agreement between the
// report of a capture and the report of the image velmora writes from it,
// the peaks of a histogram, and input that fails part-way.
#include "failing_stream.h"
#include "front_end/conversion_run.h"
#include "inspect/inspection.h"
#include "inspect/value_counts.h"
#include "rom_tape/rom_tape_encoder.h"
#include "tape_files/ctf_file.h"
#include "tape_files/tap_reader.h"
#include "test_support/capture_builder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace velmora {
namespace {

using bytes = std::vector<std::uint8_t>;
using entry = std::pair<std::uint32_t, unsigned>; // cycles, size

std::vector<entry> read_in_pieces(const bytes& data, std::uint8_t version, std::size_t piece, bool& cut)
{
    std::vector<entry> entries;
    tap_entry_stream stream{version, {}, 0};
    for (std::size_t at = 0; at < data.size(); at += piece) {
        const std::size_t size = std::min(piece, data.size() - at);
        read_tap_entries(
            stream, data.data() + at, size,
            [&entries](const std::uint8_t* run, std::size_t count) {
                for (std::size_t i = 0; i < count; ++i) {
                    entries.emplace_back(run[i] * 8U, 1U);
                }
            },
            [&entries](std::uint32_t cycles) { entries.emplace_back(cycles, 4U); });
    }
    cut = tap_entry_cut(stream);
    return entries;
}

TEST(tap_entry_reader, reads_the_same_entries_whatever_the_pieces)
{
    const bytes data = {0x0D, 0x00, 0x10, 0x52, 0x00, 0xFF, 0x00, 0xF8, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x80, 0x01};
    const std::vector<entry> expected = {{104, 1}, {21008, 4}, {2040, 1}, {0xFFFFF8, 4}, {8, 1}, {98304, 4}};
    for (std::size_t piece = 1; piece <= data.size(); ++piece) {
        bool cut = true;
        EXPECT_EQ(read_in_pieces(data, 2, piece, cut), expected) << "pieces of " << piece;
        EXPECT_FALSE(cut);
    }
}

TEST(tap_entry_reader, holds_an_entry_cut_at_the_end_and_reads_a_version_0_zero_alone)
{
    for (std::size_t kept = 1; kept <= 3; ++kept) {
        bytes data = {0x0D, 0x00, 0x10, 0x52};
        data.resize(1 + kept);
        bool cut = false;
        EXPECT_EQ(read_in_pieces(data, 1, 2, cut), (std::vector<entry>{{104, 1}}));
        EXPECT_TRUE(cut) << kept << " bytes of the 4-byte entry";
    }
    bool cut = true;
    EXPECT_EQ(read_in_pieces({0x00, 0x10, 0x52, 0x00}, 0, 3, cut),
              (std::vector<entry>{{0, 1}, {128, 1}, {656, 1}, {0, 1}}));
    EXPECT_FALSE(cut);
}

// Streams of entries whose common values change, fed in pieces of every
// kind of length: counted side by side, by pairs or one at a time, every
// value's count is that of a plain count.
TEST(value_counts, count_every_value_as_a_plain_count_does)
{
    std::uint64_t state = 5;
    const auto next = [&state] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::uint32_t>(state >> 33);
    };
    // Stretches of 100,000 entries: of two values, of five, of 256 (one at
    // a time), of one (a leader), and of three with one in a hundred other.
    bytes stream;
    for (const unsigned kinds : {2U, 5U, 256U, 1U, 3U}) {
        const unsigned first = next() % 256;
        for (unsigned i = 0; i < 100000; ++i) {
            const bool other = kinds == 3 && next() % 100 == 0;
            const unsigned value = other ? next() : first + next() % kinds * 37;
            stream.push_back(static_cast<std::uint8_t>(value));
        }
    }
    std::uint64_t expected[256] = {};
    for (const std::uint8_t value : stream) {
        ++expected[value];
    }
    for (const std::size_t largest_piece : {std::size_t{1}, std::size_t{17}, std::size_t{1000}, std::size_t{70000}}) {
        value_counts counts;
        start_counting(counts);
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t piece = std::min<std::size_t>(1 + next() % largest_piece, stream.size() - at);
            count_values(counts, stream.data() + at, piece);
            at += piece;
        }
        const std::array<std::uint64_t, 256> totals = value_totals(counts);
        for (unsigned value = 0; value < 256; ++value) {
            ASSERT_EQ(totals[value], expected[value]) << "value " << value << ", pieces of up to " << largest_piece;
        }
    }
    // The few common values of a tape are counted side by side; spread ones by pairs.
    value_counts counts;
    start_counting(counts);
    count_values(counts, stream.data(), 100000);
    EXPECT_EQ(counts.mode, counting_mode::side_by_side);
    count_values(counts, stream.data() + 200000, 100000);
    EXPECT_EQ(counts.mode, counting_mode::by_pairs);
}

TEST(tap_image_header, decodes_every_field)
{
    const std::uint8_t raw[tap_header_size] = {'C', '6', '4', '-', 'T', 'A', 'P', 'E', '-', 'R',
                                               'A', 'W', 1,   0,   1,   7,   0x78, 0x56, 0x34, 0x12};
    const tap_image_header header = decode_tap_image_header(raw);
    EXPECT_EQ(std::string(header.signature, 12), "C64-TAPE-RAW");
    EXPECT_EQ(header.version, 1);
    EXPECT_EQ(header.platform, 0);
    EXPECT_EQ(header.video_standard, 1);
    EXPECT_EQ(header.reserved, 7);
    EXPECT_EQ(header.data_size, 0x12345678U);
}

// A file under the system's temporary folder, removed at the end of the test.
struct temp_file {
    std::string path;
    temp_file()
    {
        char name[] = "/tmp/velmora-inspect-XXXXXX";
        const int descriptor = mkstemp(name);
        EXPECT_NE(descriptor, -1);
        close(descriptor);
        path = name;
    }
    ~temp_file() { std::remove(path.c_str()); }
};

inspection inspect_bytes(const bytes& content, int version)
{
    std::FILE* const file = fmemopen(const_cast<std::uint8_t*>(content.data()), content.size(), "rb");
    EXPECT_NE(file, nullptr);
    std::uint8_t buffer[ctf_min_buffer_size];
    const inspection result = inspect_stream(file, version == 1 ? wave_kind::full_waves : wave_kind::half_waves, buffer);
    std::fclose(file);
    return result;
}

// The image velmora writes from `capture`.
bytes convert(const bytes& capture, int version)
{
    const temp_file image;
    std::FILE* const input = fmemopen(const_cast<std::uint8_t*>(capture.data()), capture.size(), "rb");
    std::FILE* const output = std::fopen(image.path.c_str(), "wb");
    EXPECT_EQ(convert_streams(input, output, version == 2 ? wave_kind::half_waves : wave_kind::full_waves).status, run_status::converted);
    std::fclose(input);
    std::FILE* const written = std::fopen(image.path.c_str(), "rb");
    bytes content;
    for (int c = std::fgetc(written); c != EOF; c = std::fgetc(written)) {
        content.push_back(static_cast<std::uint8_t>(c));
    }
    std::fclose(written);
    return content;
}

struct agreement_case {
    const char* name;
    capture::pattern kind;
    int version;
};

class agreement : public testing::TestWithParam<agreement_case> {};

// The gap velmora writes between two blocks: two pulses of 12,288 units.
constexpr std::uint64_t gap_pulse_cycles = 98304;

TEST_P(agreement, a_capture_and_its_image_report_the_same_pulses_but_for_the_block_gaps)
{
    const agreement_case& c = GetParam();
    // Periods 0 (every pulse 0 units, stored as 1) and 255 (sparse phases
    // become pauses and clamped pulses) as well as ordinary ones.
    const std::vector<std::uint8_t> periods = {20, 255, 0, 40};
    std::vector<capture::block> blocks;
    for (std::size_t b = 0; b < periods.size(); ++b) {
        blocks.push_back(
            capture::block{periods[b], capture::pack_phases(capture::random_phases(c.kind, 7 + b, 3000 * 8))});
    }
    if (c.kind == capture::pattern::sparse) {
        // A phase too long for an entry: clamped in both reports.
        blocks.push_back(capture::block{255, capture::pack_phases({70000, 10, 10})});
    }
    const bytes capture_bytes = capture::ctf_image(blocks);
    const inspection of_capture = inspect_bytes(capture_bytes, c.version);
    const inspection of_image = inspect_bytes(convert(capture_bytes, c.version), 2);
    ASSERT_EQ(of_capture.kind, file_kind::ctf_capture);
    ASSERT_EQ(of_image.kind, file_kind::tap_image);
    ASSERT_FALSE(ended_early(of_capture));
    ASSERT_FALSE(ended_early(of_image));

    const std::uint64_t gap_pulses = 2 * (blocks.size() - 1);
    const pulse_summary& a = of_capture.pulses;
    const pulse_summary& b = of_image.pulses;
    for (unsigned value = 0; value <= histogram_values; ++value) {
        ASSERT_EQ(a.by_value[value], b.by_value[value]) << "bucket " << value;
    }
    EXPECT_EQ(pulse_count(a) + gap_pulses, pulse_count(b));
    EXPECT_EQ(a.longer + gap_pulses, b.longer);
    EXPECT_EQ(a.long_entries + gap_pulses, b.long_entries);
    EXPECT_EQ(total_cycles(a) + gap_pulses * gap_pulse_cycles, total_cycles(b));
    EXPECT_EQ(a.pauses, b.pauses);
    EXPECT_EQ(a.pause_cycles, b.pause_cycles);
    EXPECT_EQ(a.clamped, b.clamped);
    if (c.kind == capture::pattern::sparse) {
        EXPECT_GT(a.pauses, 0U);
        EXPECT_EQ(a.clamped, 1U);
    }
    EXPECT_GT(zero_length_pulses(of_capture), 0U); // the block of period 0
    // The edges of each block, counted here sample by sample.
    std::uint64_t pulses = 0;
    unsigned level = 0;
    ASSERT_EQ(of_capture.blocks.size(), blocks.size());
    for (std::size_t number = 0; number < blocks.size(); ++number) {
        std::uint64_t edges = 0;
        for (const std::uint8_t byte : blocks[number].samples) {
            for (int bit = 7; bit >= 0; --bit) {
                const unsigned sample = (byte >> bit) & 1U;
                edges += sample != level ? 1 : 0;
                level = sample;
            }
        }
        EXPECT_EQ(of_capture.blocks[number].edges, edges) << "block " << number + 1;
        pulses += of_capture.blocks[number].pulses;
    }
    EXPECT_EQ(pulses, pulse_count(a));
}

INSTANTIATE_TEST_SUITE_P(
    patterns, agreement,
    testing::Values(agreement_case{"tape_v2", capture::pattern::tape, 2},
                    agreement_case{"tape_v1", capture::pattern::tape, 1},
                    agreement_case{"sparse_v2", capture::pattern::sparse, 2},
                    agreement_case{"sparse_v1", capture::pattern::sparse, 1},
                    agreement_case{"dense_v2", capture::pattern::dense, 2},
                    agreement_case{"dense_v1", capture::pattern::dense, 1}),
    [](const testing::TestParamInfo<agreement_case>& test) { return test.param.name; });

struct peaks_case {
    const char* name;
    std::vector<std::pair<unsigned, std::uint64_t>> buckets;
    std::vector<unsigned> peak_values;
};

class histogram_peaks : public testing::TestWithParam<peaks_case> {};

TEST_P(histogram_peaks, are_the_humps_that_stand_out)
{
    pulse_summary pulses{};
    for (const auto& [value, count] : GetParam().buckets) {
        pulses.by_value[value] = count;
    }
    std::vector<unsigned> found;
    for (const peak& p : find_peaks(pulses)) {
        found.push_back(p.value);
        EXPECT_EQ(p.count, pulses.by_value[p.value]);
    }
    EXPECT_EQ(found, GetParam().peak_values);
}

std::vector<std::pair<unsigned, std::uint64_t>> every_third_value(unsigned from, unsigned to, std::uint64_t count)
{
    std::vector<std::pair<unsigned, std::uint64_t>> buckets;
    for (unsigned value = from; value <= to; value += 3) {
        buckets.emplace_back(value, count + (value == from + 3 * ((to - from) / 6) ? 50 : 0));
    }
    return buckets;
}

// Humps at 38 to 42 and 78 to 82 with 60 % of their height between them:
// no clear dip, so one peak, at the first of the fullest values.
std::vector<std::pair<unsigned, std::uint64_t>> shallow_dip()
{
    std::vector<std::pair<unsigned, std::uint64_t>> buckets;
    for (unsigned value = 38; value <= 82; ++value) {
        buckets.emplace_back(value, value <= 42 || value >= 78 ? 1000 : 600);
    }
    return buckets;
}

std::vector<std::pair<unsigned, std::uint64_t>> ten_narrow_peaks()
{
    std::vector<std::pair<unsigned, std::uint64_t>> buckets;
    constexpr unsigned values[] = {10, 14, 20, 28, 40, 56, 80, 112, 160, 224};
    for (unsigned i = 0; i < 10; ++i) {
        buckets.emplace_back(values[i], 100 + 10 * i);
    }
    return buckets;
}

INSTANTIATE_TEST_SUITE_P(
    shapes, histogram_peaks,
    testing::Values(
        peaks_case{"three_clean_peaks",
                   {{39, 30}, {40, 900}, {41, 40}, {60, 500}, {61, 20}, {99, 10}, {100, 300}, {101, 9}},
                   {40, 60, 100}},
        peaks_case{"below_a_tenth_is_no_peak", {{40, 1000}, {100, 90}}, {40}},
        peaks_case{"a_comb_is_one_peak", every_third_value(40, 70, 100), {55}},
        peaks_case{"a_hump_without_a_dip_is_one_peak", {{30, 100}, {31, 80}, {32, 90}, {33, 70}}, {30}},
        peaks_case{"a_shallow_dip_parts_no_peaks", shallow_dip(), {38}},
        peaks_case{"at_most_eight_the_largest", ten_narrow_peaks(), {20, 28, 40, 56, 80, 112, 160, 224}},
        peaks_case{"no_pulses_no_peaks", {}, {}}),
    [](const testing::TestParamInfo<peaks_case>& test) { return test.param.name; });

// Where a capture of two blocks of 8 sample bytes ends: header bytes 0 to 5,
// block 1's descriptor 6 to 10 and samples 11 to 18, block 2's descriptor 19
// to 23 and samples 24 to 31. A cut in a header or descriptor is placed
// where that piece starts; one in samples where the file ends, since every
// sample byte that arrived is measured.
struct cut_case {
    const char* name;
    std::size_t size;
    cut_place cut;
    std::uint64_t cut_offset;
    std::int32_t cut_block;
    std::size_t blocks_seen;
    std::uint64_t last_block_sample_bytes;
};

class capture_cut : public testing::TestWithParam<cut_case> {};

TEST_P(capture_cut, names_the_piece_the_capture_ends_in_and_where)
{
    const cut_case& c = GetParam();
    const bytes whole = capture::ctf_image({capture::block{20, bytes(8, 0x0F)}, capture::block{40, bytes(8, 0x33)}});
    ASSERT_EQ(whole.size(), 32U);
    const inspection result = inspect_bytes(bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(c.size)), 2);
    EXPECT_EQ(result.cut, c.cut);
    EXPECT_EQ(ended_early(result), c.cut != cut_place::none);
    if (c.cut != cut_place::none) {
        EXPECT_EQ(result.cut_offset, c.cut_offset);
        EXPECT_EQ(result.cut_block, c.cut_block);
    }
    ASSERT_EQ(result.blocks.size(), c.blocks_seen);
    if (c.blocks_seen != 0) {
        EXPECT_EQ(result.blocks.back().sample_bytes, c.last_block_sample_bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(
    cuts, capture_cut,
    testing::Values(cut_case{"in_the_header", 3, cut_place::ctf_header, 0, 0, 0, 0},
                    cut_case{"in_the_first_descriptor", 8, cut_place::ctf_descriptor, 6, 1, 0, 0},
                    cut_case{"in_the_first_samples", 14, cut_place::ctf_samples, 14, 1, 1, 3},
                    cut_case{"in_the_second_descriptor", 21, cut_place::ctf_descriptor, 19, 2, 1, 8},
                    cut_case{"in_the_second_samples", 28, cut_place::ctf_samples, 28, 2, 2, 4},
                    cut_case{"nowhere", 32, cut_place::none, 0, 0, 2, 8}),
    [](const testing::TestParamInfo<cut_case>& test) { return test.param.name; });

TEST(inspection, a_read_error_ends_the_report_with_what_was_read)
{
    const bytes capture_bytes = capture::ctf_image(
        {capture::block{20, capture::pack_phases(capture::random_phases(capture::pattern::tape, 3, 5000 * 8))}});
    testing_support::failing_source source{&capture_bytes, 3000, 0};
    std::FILE* const file = testing_support::open_failing_source(source);
    std::uint8_t buffer[ctf_min_buffer_size];
    const inspection result = inspect_stream(file, wave_kind::half_waves, buffer);
    std::fclose(file);
    EXPECT_TRUE(result.read_error);
    EXPECT_TRUE(ended_early(result));
    EXPECT_EQ(result.bytes_read, 3000U);
    ASSERT_EQ(result.blocks.size(), 1U);
    EXPECT_EQ(result.blocks[0].sample_bytes, 3000U - 11U);
    const inspection whole = inspect_bytes(bytes(capture_bytes.begin(), capture_bytes.begin() + 3000), 2);
    EXPECT_EQ(pulse_count(result.pulses), pulse_count(whole.pulses));
}

// A program of the ROM format as a version 2 image; signed C64 it is another
// machine's tape, timed at its clock and never decoded as the C16 format.
TEST(inspection, a_c64_image_is_not_decoded_as_the_c16_rom_format)
{
    const std::vector<std::uint32_t> halves = rom_tape_program(0x1001, {1, 2, 3, 4}, "C64");
    bytes image = {'C', '1', '6', '-', 'T', 'A', 'P', 'E', '-', 'R', 'A', 'W', 2, 2, 0, 0};
    const auto size = static_cast<std::uint32_t>(halves.size());
    image.insert(image.end(), {static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
                               static_cast<std::uint8_t>(size >> 16), 0});
    for (const std::uint32_t half : halves) {
        image.push_back(static_cast<std::uint8_t>((half + 4) / 8));
    }
    const inspection c16 = inspect_bytes(image, 2);
    EXPECT_EQ(c16.clock, c16_pal_clock);
    EXPECT_EQ(c16.rom.files.size(), 1U);
    image[1] = '6';
    image[2] = '4';
    const inspection c64 = inspect_bytes(image, 2);
    EXPECT_EQ(c64.clock, c64_pal_clock);
    EXPECT_FALSE(c64.rom.found);
    EXPECT_TRUE(c64.rom.files.empty());
    EXPECT_EQ(c64.rom.total_cycles, c16.rom.total_cycles);
}

// A tape of the ROM format captured in two blocks, the second from within
// the data block's leader: the place of the data's repeat is in block 2,
// counted from that block's first sample (about: the tape time comes from
// the entries, rounded to 8 cycles each).
TEST(inspection, places_in_a_later_block_count_from_its_first_sample)
{
    constexpr std::size_t program_size = 300;
    constexpr std::uint8_t period = 20;
    const std::vector<std::uint32_t> halves = rom_tape_program(0x1001, bytes(program_size, 0x5A), "BLOCKS");
    const std::vector<std::uint32_t> samples = capture::cycles_to_samples(halves, period);
    const std::size_t split = rom_tape_byte_half_wave(program_size, 1, 0, 0) - 2000;
    const std::size_t repeat = rom_tape_byte_half_wave(program_size, 1, 1, 0) - rom_tape_countdown_length * 40;
    const std::vector<std::uint32_t> first(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(split));
    const std::vector<std::uint32_t> second(samples.begin() + static_cast<std::ptrdiff_t>(split), samples.end());
    const bytes capture_bytes = capture::ctf_image({capture::block{period, capture::pack_phases(first)},
                                                    capture::block{period, capture::pack_phases(second, split % 2)}});
    std::uint64_t expected = 0;
    for (std::size_t i = split; i < repeat; ++i) {
        expected += samples[i];
    }
    const inspection result = inspect_bytes(capture_bytes, 2);
    ASSERT_EQ(result.rom.files.size(), 1U);
    const tape_place& place = result.rom.files[0].data.copies[1].start;
    EXPECT_EQ(place.block, 2);
    EXPECT_NEAR(static_cast<double>(place.sample), static_cast<double>(expected), 500.0);
}

// --- Pinned boundaries of the peaks -------------------------------------------

// A peak's fullest value must reach a tenth of the largest bucket: 100 of
// 1000 does, 99 does not. The buckets stand far apart, so the averages
// between them dip to 0 and part them.
INSTANTIATE_TEST_SUITE_P(
    a_tenth, histogram_peaks,
    testing::Values(peaks_case{"just_below_a_tenth", {{40, 1000}, {100, 99}}, {40}},
                    peaks_case{"exactly_a_tenth", {{40, 1000}, {100, 100}}, {40, 100}},
                    peaks_case{"just_above_a_tenth", {{40, 1000}, {100, 101}}, {40, 100}}),
    [](const testing::TestParamInfo<peaks_case>& test) { return test.param.name; });

} // namespace
} // namespace velmora

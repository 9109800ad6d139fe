// Runs the built binary on small captures and checks everything a user sees:
// standard output, standard error, exit status and the bytes of the image.
#include "binary_test.h"
#include "process_runner.h"
#include "test_support/capture_builder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace velmora {
namespace {

using bytes = std::vector<std::uint8_t>;
using testing_support::banner;
using testing_support::process_result;
using testing_support::read_file;
using testing_support::run_process;

const std::string usage = "USAGE: velmora <CTFfile> <TAPfile> [<TAPversion>]\n"
                          "   (default TAP version is 1)\n"
                          "e.g.\n"
                          "   velmora tape1.ctf tape1.tap 2\n"
                          "   velmora data.ctf data.tap\n";
const std::string advisory = "Usage of TAP version 2 is recommended\n";
const bytes gap = {0x00, 0x00, 0x80, 0x01, 0x00, 0x00, 0x80, 0x01};

// Entries of a signal starting at level 0 from a fresh run, made of the
// given phases, each closed by an edge; worked out phase by phase.
bytes expected_entries(const std::vector<std::uint32_t>& phases, std::uint64_t period, int version)
{
    bytes entries;
    const auto put = [&entries](std::uint64_t value) {
        if (value <= 255) {
            entries.push_back(static_cast<std::uint8_t>(value));
        } else {
            const std::uint64_t cycles = value * 8;
            entries.insert(entries.end(), {0, static_cast<std::uint8_t>(cycles), static_cast<std::uint8_t>(cycles >> 8),
                                           static_cast<std::uint8_t>(cycles >> 16)});
        }
    };
    for (std::size_t i = 0; i < phases.size(); ++i) {
        const std::uint64_t n = phases[i] + (i == 0 ? 1 : 0); // the first edge counts its own sample
        if (version == 2) {
            put((13 * n * period + 50) / 100);
        } else if (i % 2 == 0) {
            put((101 * n * period + 200) / 400);
        }
    }
    return entries;
}

// Samples holding `phases` each closed by an edge, then a level-1 tail that
// fills the last byte and stays open.
bytes closed_signal(std::vector<std::uint32_t> phases)
{
    std::uint64_t total = 0;
    for (const std::uint32_t length : phases) {
        total += length;
    }
    if (phases.size() % 2 == 1) {
        phases.push_back(static_cast<std::uint32_t>(8 - total % 8)); // ends at level 0: close with a rising edge
    } else {
        phases.push_back(1);
        phases.push_back(static_cast<std::uint32_t>(16 - (total + 1) % 8));
    }
    bytes samples = capture::pack_phases(phases);
    return samples;
}

bytes tap_header_bytes(int version, std::uint32_t size)
{
    bytes header = {'C', '1', '6', '-', 'T', 'A', 'P', 'E', '-', 'R', 'A', 'W', static_cast<std::uint8_t>(version), 2, 0, 0};
    capture::put_le(header, size, 4);
    return header;
}

bytes image(int version, const bytes& data)
{
    bytes result = tap_header_bytes(version, static_cast<std::uint32_t>(data.size()));
    result.insert(result.end(), data.begin(), data.end());
    return result;
}

bytes concat(std::initializer_list<bytes> parts)
{
    bytes result;
    for (const bytes& part : parts) {
        result.insert(result.end(), part.begin(), part.end());
    }
    return result;
}

bytes as_bytes(const std::string& text)
{
    return bytes(text.begin(), text.end());
}

class end_to_end : public testing_support::binary_test {
protected:
    bool exists(const std::string& name) const { return access(path(name).c_str(), F_OK) == 0; }
};

// Phases with entries of both sizes and one asymmetric wave (high 9 after low 5).
const std::vector<std::uint32_t> sample_phases = {4, 4, 5, 9, 120, 123, 6, 6};
const capture::block sample_block{20, closed_signal(sample_phases)};

TEST_F(end_to_end, converts_half_and_full_waves_byte_for_byte)
{
    const std::string input = write("in.ctf", capture::ctf_image({sample_block}));
    for (const int version : {1, 2}) {
        const std::vector<std::uint32_t> closed = {4, 4, 5, 9, 120, 123, 6, 6, 1};
        const process_result run = velmora({input, path("out.tap"), std::to_string(version)});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, banner);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(as_bytes(read_file(path("out.tap"))), image(version, expected_entries(closed, 20, version)));
    }
}

// A file already at the output path, longer than the new image, is replaced
// whole: none of its old bytes may trail the image.
TEST_F(end_to_end, replaces_a_longer_file_at_the_output_whole)
{
    const std::string input = write("in.ctf", capture::ctf_image({sample_block}));
    const std::string output = write("out.tap", bytes(4096, 0xEE));
    const process_result run = velmora({input, output, "2"});
    EXPECT_EQ(run.status, 0);
    const std::vector<std::uint32_t> closed = {4, 4, 5, 9, 120, 123, 6, 6, 1};
    EXPECT_EQ(as_bytes(read_file(output)), image(2, expected_entries(closed, 20, 2)));
}

struct arguments_case {
    const char* name;
    std::vector<std::string> extra; // after the input and output paths; "-" drops both
    int status;
    int version;                    // version byte of the image written, or 0 for none
};

class command_line : public end_to_end, public testing::WithParamInterface<arguments_case> {};

TEST_P(command_line, checks_arguments_and_chooses_the_version)
{
    const arguments_case& c = GetParam();
    const std::string input = write("in.ctf", capture::ctf_image({sample_block}));
    std::vector<std::string> arguments = {input, path("out.tap")};
    if (!c.extra.empty() && c.extra[0] == "-") {
        arguments.assign(c.extra.begin() + 1, c.extra.end());
    } else {
        arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
    }
    const process_result run = velmora(arguments);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.status == 1 ? banner + usage : banner);
    EXPECT_EQ(run.err, "");
    if (c.version == 0) {
        EXPECT_FALSE(exists("out.tap"));
    } else {
        const std::string written = read_file(path("out.tap"));
        ASSERT_GE(written.size(), 20U);
        EXPECT_EQ(written[12], c.version);
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, command_line,
    testing::Values(arguments_case{"no_arguments", {"-"}, 1, 0}, arguments_case{"one_argument", {"-", "a.ctf"}, 1, 0},
                    arguments_case{"default_version", {}, 0, 1}, arguments_case{"version_1", {"1"}, 0, 1},
                    arguments_case{"version_2", {"2"}, 0, 2},
                    arguments_case{"only_first_character_counts", {"2x"}, 0, 2},
                    arguments_case{"version_3", {"3"}, 1, 0}, arguments_case{"empty_version", {""}, 1, 0},
                    arguments_case{"four_arguments", {"2", "extra"}, 1, 0}),
    [](const testing::TestParamInfo<arguments_case>& test) { return test.param.name; });

TEST_F(end_to_end, a_missing_input_creates_no_output)
{
    const process_result run = velmora({path("missing.ctf"), path("out.tap")});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, banner);
    EXPECT_EQ(run.err, "It's impossible to open " + path("missing.ctf") + " to read\n");
    EXPECT_FALSE(exists("out.tap"));
}

TEST_F(end_to_end, a_folder_as_input_leaves_the_output_untouched)
{
    const std::string output = write("out.tap", as_bytes("keep me"));
    const process_result run = velmora({folder, output});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "It's impossible to open " + folder + " to read\n");
    EXPECT_EQ(read_file(output), "keep me");
}

TEST_F(end_to_end, an_output_in_a_missing_folder_cannot_be_opened)
{
    const std::string input = write("in.ctf", capture::ctf_image({sample_block}));
    const process_result run = velmora({input, path("no/such/out.tap")});
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, banner);
    EXPECT_EQ(run.err, "It's impossible to open " + path("no/such/out.tap") + " to write\n");
}

TEST_F(end_to_end, never_writes_over_its_input_under_any_name)
{
    const bytes capture_bytes = capture::ctf_image({sample_block});
    const std::string input = write("in.ctf", capture_bytes);
    std::filesystem::create_hard_link(input, path("hard.ctf"));
    std::vector<std::string> outputs = {input, folder + "/./in.ctf", path("hard.ctf")};
#ifndef _WIN32
    // Making a symbolic link takes a privilege on Windows.
    ASSERT_EQ(symlink(input.c_str(), path("soft.ctf").c_str()), 0);
    outputs.push_back(path("soft.ctf"));
#endif
    for (const std::string& output : outputs) {
        const process_result run = velmora({input, output});
        EXPECT_EQ(run.status, 3) << output;
        EXPECT_EQ(run.err, "It's impossible to open " + output + " to write\n");
        EXPECT_EQ(as_bytes(read_file(input)), capture_bytes);
    }
}

TEST_F(end_to_end, refuses_the_file_its_standard_output_writes_to)
{
    const std::string input = write("in.ctf", capture::ctf_image({sample_block}));
    const std::string output = path("out.tap");
    const process_result run = run_process({VELMORA_BINARY, input, output}, "", output);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.err, "It's impossible to open " + output + " to write\n");
    EXPECT_EQ(read_file(output), banner);
}

class empty_capture : public end_to_end, public testing::WithParamInterface<bytes> {};

TEST_P(empty_capture, is_reported_and_leaves_an_empty_output)
{
    const std::string input = write("in.ctf", GetParam());
    const process_result run = velmora({input, path("out.tap")});
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.out, banner);
    EXPECT_EQ(run.err, input + " is empty\n");
    ASSERT_TRUE(exists("out.tap"));
    EXPECT_EQ(read_file(path("out.tap")), "");
}

INSTANTIATE_TEST_SUITE_P(captures, empty_capture,
                         testing::Values(bytes{}, bytes{1, 2, 3, 4, 5}, bytes{0, 0, 0, 0, 1, 0},
                                         capture::ctf_image({sample_block}, 1)));

// Blocks of a rising edge, 8 samples high and 7 low: at period 100 in
// version 2, the run's first edge scales to 13 (1 sample), every later one to
// 104 (8 samples, the phase running on across the block boundary).
const capture::block edge_pair{100, {0xFF, 0x00}};
const bytes first_pair = {13, 104};
const bytes later_pair = {104, 104};

struct block_count_case {
    std::int16_t field;
    bytes data;
};

class block_count_field : public end_to_end, public testing::WithParamInterface<block_count_case> {};

TEST_P(block_count_field, decides_how_many_blocks_are_read_with_a_gap_between_each_two)
{
    const std::string input = write("in.ctf", capture::ctf_image({edge_pair, edge_pair, edge_pair}, GetParam().field));
    const process_result run = velmora({input, path("out.tap"), "2"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, banner);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(as_bytes(read_file(path("out.tap"))), image(2, GetParam().data));
}

INSTANTIATE_TEST_SUITE_P(fields, block_count_field,
                         testing::Values(block_count_case{0, {}}, block_count_case{-1, {}},
                                         block_count_case{-32768, {}}, block_count_case{2, first_pair},
                                         block_count_case{3, concat({first_pair, gap, later_pair})},
                                         block_count_case{4, concat({first_pair, gap, later_pair, gap, later_pair})}));

TEST_F(end_to_end, a_block_whose_end_offset_lies_before_its_samples_has_none)
{
    // Block 2's end offset points back into block 1: the next descriptor is
    // read right after it, and the block still gets its gap.
    bytes capture_bytes = capture::ctf_image({edge_pair}, 4);
    capture::put_le(capture_bytes, 3, 4);
    capture_bytes.push_back(100);
    capture::put_le(capture_bytes, capture_bytes.size() + 5 + 2, 4);
    capture_bytes.insert(capture_bytes.end(), {100, 0xFF, 0x00});
    const std::string input = write("in.ctf", capture_bytes);
    const process_result run = velmora({input, path("out.tap"), "2"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(as_bytes(read_file(path("out.tap"))), image(2, concat({first_pair, gap, gap, later_pair})));
}

TEST_F(end_to_end, a_phase_across_blocks_is_scaled_with_the_period_of_the_block_it_ends_in)
{
    // 7 low samples left from block 1, 16 more and the edge sample in block 2.
    const capture::block late_edge{200, {0x00, 0x00, 0xFF}};
    const std::string input = write("in.ctf", capture::ctf_image({edge_pair, late_edge}));
    const process_result run = velmora({input, path("out.tap"), "2"});
    EXPECT_EQ(run.status, 0);
    // (13 × 24 × 200 + 50) / 100 = 624, stored as 8 × 624 = 0x1380 cycles.
    EXPECT_EQ(as_bytes(read_file(path("out.tap"))), image(2, concat({first_pair, gap, {0x00, 0x80, 0x13, 0x00}})));
}

class advisory_threshold : public end_to_end, public testing::WithParamInterface<int> {};

TEST_P(advisory_threshold, recommends_version_2_above_200_asymmetric_waves)
{
    const int waves = GetParam();
    // Each wave: low 10, high 14 (4 longer: asymmetric). The fresh run
    // counts the first edge's own sample, hence the first low phase of 9.
    std::vector<std::uint32_t> phases = {9, 14};
    for (int i = 1; i < waves; ++i) {
        phases.insert(phases.end(), {10, 14});
    }
    const std::string input = write("in.ctf", capture::ctf_image({capture::block{20, closed_signal(phases)}}));
    for (const char* version : {"1", "2"}) {
        const process_result run = velmora({input, path("out.tap"), version});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, waves > 200 && version[0] == '1' ? banner + advisory : banner) << waves << " v" << version;
    }
}

INSTANTIATE_TEST_SUITE_P(waves, advisory_threshold, testing::Values(200, 201));

// A tape-like two-block capture cut short at `cut` bytes converts what was
// read exactly as the complete capture of those bytes would, then reports
// the truncation.
struct truncation_case {
    std::size_t cut;
    std::size_t first_block_bytes;  // of the equivalent complete capture
    long second_block_bytes;        // -1: no second block
};

class truncated_input : public end_to_end, public testing::WithParamInterface<truncation_case> {};

TEST_P(truncated_input, keeps_what_was_read_and_exits_with_status_5)
{
    const truncation_case& c = GetParam();
    const auto samples = [](std::uint64_t seed, std::size_t size) {
        bytes packed = capture::pack_phases(capture::random_phases(capture::pattern::tape, seed, size * 8));
        packed.resize(size);
        return packed;
    };
    const bytes first = samples(1, 3000);
    const bytes second = samples(2, 1000);
    bytes full = capture::ctf_image({capture::block{20, first}, capture::block{40, second}});
    full.resize(c.cut);
    const std::string input = write("cut.ctf", full);

    std::vector<capture::block> equivalent = {capture::block{20, bytes(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(c.first_block_bytes))}};
    if (c.second_block_bytes >= 0) {
        equivalent.push_back(capture::block{40, bytes(second.begin(), second.begin() + c.second_block_bytes)});
    }
    const std::string reference_input = write("whole.ctf", capture::ctf_image(equivalent));
    const process_result reference = velmora({reference_input, path("whole.tap")});
    ASSERT_EQ(reference.status, 0);

    const process_result run = velmora({input, path("cut.tap")});
    EXPECT_EQ(run.status, 5);
    EXPECT_EQ(run.out, reference.out); // the advisory, when due, comes before the error
    EXPECT_EQ(run.err, input + " is truncated\n");
    if (c.cut <= 11) {
        EXPECT_EQ(as_bytes(read_file(path("cut.tap"))), tap_header_bytes(1, 0));
    } else {
        EXPECT_EQ(read_file(path("cut.tap")), read_file(path("whole.tap")));
    }
}

INSTANTIATE_TEST_SUITE_P(cuts, truncated_input,
                         testing::Values(truncation_case{6, 0, -1}, truncation_case{9, 0, -1},
                                         truncation_case{11 + 1000, 1000, -1}, truncation_case{11 + 2047, 2047, -1},
                                         truncation_case{11 + 2048, 2048, -1}, truncation_case{11 + 2049, 2049, -1},
                                         truncation_case{11 + 3000, 3000, 0}, truncation_case{11 + 3000 + 2, 3000, 0},
                                         truncation_case{11 + 3000 + 5 + 500, 3000, 500}));

// A device that is always full, and FIFOs, exist on POSIX systems only.
#ifndef _WIN32
TEST_F(end_to_end, a_write_failure_is_reported_and_a_device_is_never_removed)
{
    const std::string input = write("in.ctf", capture::ctf_image({sample_block}));
    const process_result run = velmora({input, "/dev/full"});
    EXPECT_EQ(run.status, 6);
    EXPECT_EQ(run.out, banner);
    EXPECT_EQ(run.err, "It's impossible to write /dev/full\n");
    struct stat status {};
    ASSERT_EQ(stat("/dev/full", &status), 0);
    EXPECT_TRUE(S_ISCHR(status.st_mode));
}

TEST_F(end_to_end, an_output_that_cannot_seek_back_is_a_write_failure)
{
    const std::string input = write("in.ctf", capture::ctf_image({sample_block}));
    const std::string fifo = path("out.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string drained;
    std::thread reader([&] { drained = read_file(fifo); });
    const process_result run = velmora({input, fifo});
    reader.join();
    EXPECT_EQ(run.status, 6);
    EXPECT_EQ(run.err, "It's impossible to write " + fifo + "\n");
    EXPECT_TRUE(exists("out.fifo"));
}

TEST_F(end_to_end, an_output_pipe_whose_reader_goes_away_is_a_write_failure)
{
    // An edge at every sample: far more entries than a pipe holds.
    const std::string input = write("in.ctf", capture::ctf_image({capture::block{20, bytes(1 << 16, 0xAA)}}));
    const std::string fifo = path("out.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread reader([&] { std::fclose(std::fopen(fifo.c_str(), "rb")); });
    const process_result run = velmora({input, fifo, "2"});
    reader.join();
    EXPECT_EQ(run.status, 6);
    EXPECT_EQ(run.err, "It's impossible to write " + fifo + "\n");
}

TEST_F(end_to_end, reads_its_input_from_a_pipe)
{
    const bytes capture_bytes = capture::ctf_image({sample_block, edge_pair, sample_block});
    const std::string input = write("in.ctf", capture_bytes);
    ASSERT_EQ(velmora({input, path("from_file.tap")}).status, 0);
    const std::string fifo = path("in.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] { capture::write_file(fifo, capture_bytes); });
    const process_result run = velmora({fifo, path("from_pipe.tap")});
    writer.join();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(read_file(path("from_pipe.tap")), read_file(path("from_file.tap")));
}
#endif

// The README's first command: version 2, so no advice to use it.
TEST_F(end_to_end, converts_the_bundled_example_to_its_expected_image)
{
    const process_result run = velmora({std::string(VELMORA_EXAMPLES_DIR) + "/demo.ctf", path("demo.tap"), "2"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, banner);
    const std::string expected = read_file(std::string(VELMORA_EXAMPLES_DIR) + "/demo.tap");
    ASSERT_FALSE(expected.empty());
    EXPECT_TRUE(read_file(path("demo.tap")) == expected) << "demo.tap differs from the bundled image";
}

} // namespace
} // namespace velmora

// Replays the named captures of tests/captures/ through the built binary:
// each in both TAP versions, with its expected status, standard output and
// standard error, and its image compared byte for byte with NAME.vN.tap.
// The statuses below were worked out from the rules, not read off a run;
// the images were written by velmora and checked by hand against the notes
// in make_corpus.cpp, which also say how each capture is built.
#include "binary_test.h"
#include "process_runner.h"
#include "tap_image_check.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

namespace velmora {
namespace {

using testing_support::process_result;
using testing_support::read_file;
using testing_support::run_process;

using testing_support::banner;
const std::string advisory = "Usage of TAP version 2 is recommended\n";
const std::string corpus = VELMORA_CAPTURES_DIR;

struct corpus_case {
    const char* name;
    int version;
    int status;    // 0 converted, 4 empty (output left empty), 5 truncated (image kept)
    bool advisory; // version 2 advised after the run
};

std::string test_name(const corpus_case& c)
{
    return std::string(c.name) + "_v" + std::to_string(c.version);
}

class named_capture : public testing::TestWithParam<corpus_case> {
protected:
    void SetUp() override { folder = testing_support::make_temp_dir(); }
    void TearDown() override { testing_support::remove_tree(folder); }
    std::string folder;
};

TEST_P(named_capture, converts_to_its_golden_image_with_its_status)
{
    const corpus_case& c = GetParam();
    const std::string input = corpus + "/" + c.name + ".ctf";
    const std::string original = read_file(input);
    ASSERT_TRUE(std::filesystem::exists(input)) << input;
    const std::string output = folder + "/out.tap";
    const process_result run = run_process({VELMORA_BINARY, input, output, std::to_string(c.version)});
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.advisory ? banner + advisory : banner);
    EXPECT_EQ(run.err, c.status == 0 ? "" : input + (c.status == 4 ? " is empty\n" : " is truncated\n"));
    EXPECT_EQ(read_file(input), original) << "the input was changed";
    ASSERT_TRUE(std::filesystem::exists(output));
    const std::string image = read_file(output);
    if (c.status == 4) {
        EXPECT_EQ(image, "");
        return;
    }
    const std::string golden_path = corpus + "/" + c.name + ".v" + std::to_string(c.version) + ".tap";
    const std::string golden = read_file(golden_path);
    ASSERT_EQ(testing_support::tap_image_problem(golden, c.version), "") << golden_path;
    EXPECT_TRUE(image == golden) << "the image differs from " << golden_path;
}

// clang-format off
const corpus_case cases[] = {
    {"empty_file", 1, 4, false},                      {"empty_file", 2, 4, false},
    {"header_cut_short", 1, 4, false},                {"header_cut_short", 2, 4, false},
    {"count_field_1", 1, 4, false},                   {"count_field_1", 2, 4, false},
    {"count_field_0", 1, 0, false},                   {"count_field_0", 2, 0, false},
    {"count_field_minus_1", 1, 0, false},             {"count_field_minus_1", 2, 0, false},
    {"count_field_minus_32768", 1, 0, false},         {"count_field_minus_32768", 2, 0, false},
    {"count_field_2", 1, 0, false},                   {"count_field_2", 2, 0, false},
    {"count_field_3", 1, 0, false},                   {"count_field_3", 2, 0, false},
    {"trailing_bytes_ignored", 1, 0, false},          {"trailing_bytes_ignored", 2, 0, false},
    {"end_offset_before_descriptor", 1, 0, false},    {"end_offset_before_descriptor", 2, 0, false},
    {"end_offset_at_descriptor_end", 1, 0, false},    {"end_offset_at_descriptor_end", 2, 0, false},
    {"end_offset_0x80000000", 1, 0, false},           {"end_offset_0x80000000", 2, 0, false},
    {"end_offset_0xffffffff", 1, 0, false},           {"end_offset_0xffffffff", 2, 0, false},
    {"end_offset_far_beyond_the_file", 1, 5, false},  {"end_offset_far_beyond_the_file", 2, 5, false},
    {"end_offset_0x7fffffff", 1, 5, false},           {"end_offset_0x7fffffff", 2, 5, false},
    {"period_0", 1, 0, false},                        {"period_0", 2, 0, false},
    {"period_255", 1, 0, false},                      {"period_255", 2, 0, false},
    {"pulse_clamped", 1, 0, false},                   {"pulse_clamped", 2, 0, false},
    {"first_sample_high", 1, 0, false},               {"first_sample_high", 2, 0, false},
    {"an_edge_at_every_sample", 1, 0, false},         {"an_edge_at_every_sample", 2, 0, false},
    {"phase_across_blocks", 1, 0, false},             {"phase_across_blocks", 2, 0, false},
    {"asymmetric_200", 1, 0, false},                  {"asymmetric_200", 2, 0, false},
    {"asymmetric_201", 1, 0, true},                   {"asymmetric_201", 2, 0, false},
    {"header_only", 1, 5, false},                     {"header_only", 2, 5, false},
    {"truncated_in_descriptor", 1, 5, false},         {"truncated_in_descriptor", 2, 5, false},
    {"truncated_in_samples", 1, 5, false},            {"truncated_in_samples", 2, 5, false},
    {"truncated_before_second_block", 1, 5, false},   {"truncated_before_second_block", 2, 5, false},
    {"truncated_in_second_descriptor", 1, 5, false},  {"truncated_in_second_descriptor", 2, 5, false},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(corpus, named_capture, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<corpus_case>& test) { return test_name(test.param); });

// The folder holds exactly the captures of the table, as the generator
// writes them, and a golden image for each run that keeps one: nothing
// stale, nothing missing.
TEST(capture_corpus, is_what_the_generator_writes_with_a_golden_for_every_image)
{
    const std::string scratch = testing_support::make_temp_dir();
    const process_result generated = run_process({VELMORA_MAKE_CORPUS, scratch});
    ASSERT_EQ(generated.status, 0) << generated.err;
    std::set<std::string> expected_files;
    for (const corpus_case& c : cases) {
        expected_files.insert(std::string(c.name) + ".ctf");
        if (c.status != 4) {
            expected_files.insert(std::string(c.name) + ".v" + std::to_string(c.version) + ".tap");
        }
    }
    std::set<std::string> generated_files;
    for (const auto& entry : std::filesystem::directory_iterator(scratch)) {
        const std::string name = entry.path().filename().string();
        generated_files.insert(name);
        EXPECT_TRUE(read_file(entry.path().string()) == read_file(corpus + "/" + name))
            << name << " differs from what make_corpus writes";
    }
    testing_support::remove_tree(scratch);
    std::set<std::string> committed_files;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with(".ctf") || name.ends_with(".tap")) {
            committed_files.insert(name);
        }
    }
    EXPECT_EQ(committed_files, expected_files);
    for (const std::string& name : generated_files) {
        EXPECT_TRUE(expected_files.count(name) == 1) << name << " is written but not in the table";
    }
}

} // namespace
} // namespace velmora

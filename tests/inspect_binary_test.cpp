// Runs the built velmora-inspect as a user would: hand-checked reports of
// three small files in text and JSON, the exit statuses, the SVG picture
// (well-formed, renders at its size) and the example picture of the README.
#include "process_runner.h"
#include "test_support/capture_builder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <span>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace velmora {
namespace {

using bytes = std::vector<std::uint8_t>;
using testing_support::process_result;
using testing_support::read_file;
using testing_support::run_process;

process_result inspect(const std::vector<std::string>& arguments, const std::string& input = "")
{
    std::vector<std::string> command = {VELMORA_INSPECT_BINARY};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return run_process(command, input);
}

#ifndef _WIN32
// Path of an installed program, or an empty string.
std::string find_tool(const std::string& tool)
{
    const process_result found = run_process({"/bin/sh", "-c", "command -v " + tool});
    return found.status == 0 ? found.out.substr(0, found.out.find('\n')) : "";
}
#endif

// Block 1, period 20: samples 0000 1111 0000 1111 give half waves of 5, 4
// and 4 samples: 13, 10 and 10 units. Block 2, period 100: its first sample
// ends the phase of 4 samples open since block 1 (52 units), then 100
// samples later an edge ends a phase of 100 samples (1300 units, a 4-byte
// entry). Running time 1385 units = 11080 cycles = 0.012495 s. The blocks'
// samples take 16 × 20.8 + 104 × 104 = 11148.8 cycles = 0.012573 s: the 4
// samples after the last edge make no pulse (-416), the pulse across the
// blocks is timed at period 100 (+332.8), the two pulses of 4 samples are
// rounded from 10.4 units (-6.4) and the first counts its edge sample (+20.8).
const bytes clean_capture = capture::ctf_image(
    {capture::block{20, {0x0F, 0x0F}},
     capture::block{100, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0F}}});

// The same, cut after 5 of the 13 sample bytes of block 2 (which start at
// byte 18): the pulses 13, 10, 10 and 52 remain, 85 units = 0.000767 s;
// the blocks' samples take 16 × 20.8 + 40 × 104 = 4492.8 cycles = 0.005067 s.
const bytes truncated_capture(clean_capture.begin(), clean_capture.begin() + 18 + 5);

// Entries 13, 10, 10, a 4-byte entry of 0x2820 = 10272 cycles (1284 units)
// and 255, 8 bytes, but a data size field of 10. 12576 cycles = 0.014183 s.
const bytes image_with_wrong_size = {'C', '1', '6', '-', 'T', 'A', 'P', 'E', '-', 'R', 'A', 'W', 2, 2, 0, 0,
                                     10,  0,   0,   0,   0x0D, 0x0A, 0x0A, 0x00, 0x20, 0x28, 0x00, 0xFF};

std::string zero_rows(unsigned first, unsigned last, unsigned width)
{
    std::string rows;
    if ((last - first) / width + 1 >= 3) {
        // Three empty rows or more are shown as one.
        char row[80];
        std::snprintf(row, sizeof row, "%3u-%3u  |%48s 0\n", first, last + width - 1, "");
        return row;
    }
    for (unsigned start = first; start <= last; start += width) {
        char row[80];
        std::snprintf(row, sizeof row, "%3u-%3u  |%48s 0\n", start, start + width - 1, "");
        rows += row;
    }
    return rows;
}

const std::string bar_2 = std::string(48, '#');
const std::string bar_1_of_2 = std::string(24, '#') + std::string(24, ' ');
const std::string bar_1_of_3 = std::string(16, '#') + std::string(32, ' ');

const std::string clean_report_tail =
    ": CTF capture, measured as TAP version 2 (half waves)\n"
    "Blocks: 2 (block count field 3)\n"
    "  block  period  sample bytes     samples       edges   time (s)\n"
    "      1      20             2          16           3      0.000\n"
    "      2     100            13         104           2      0.012\n"
    "Pulses: 5, shortest 10 units (90.2 us), longest 1300 units (11728.6 us)\n"
    "Pulses in 4-byte entries: 1\n"
    "Pauses (0.25 s or more): 0, 0.000 s in all\n"
    "Zero-length pulses: 0, clamped pulses: 0\n"
    "Running time: 0.012 s (C16 PAL clock, 886724 cycles a second)\n"
    "  (the blocks' 0.013 s count every sample; the running time sums the pulses: each rounded to 8 cycles, one "
    "across two blocks timed at the later block's period, none for the samples after the last edge)\n"
    "Histogram of pulse lengths in TAP units of 8 cycles, 2 a row (* marks a peak):\n"
    "  9- 10 *|" + bar_2 + " 2\n" +
    zero_rows(11, 11, 2) +
    " 13- 14  |" + bar_1_of_2 + " 1\n" +
    zero_rows(15, 49, 2) +
    " 51- 52 *|" + bar_1_of_2 + " 1\n"
    "   >255  |" + bar_1_of_2 + " 1\n"
    "Peaks:\n"
    "  value       count   length (us)\n"
    "     10           2          90.2\n"
    "     52           1         469.1\n"
    "Problems: none\n";

const std::string truncated_report_tail =
    ": CTF capture, measured as TAP version 2 (half waves)\n"
    "Blocks: 2 (block count field 3)\n"
    "  block  period  sample bytes     samples       edges   time (s)\n"
    "      1      20             2          16           3      0.000\n"
    "      2     100             5          40           1      0.005\n"
    "Pulses: 4, shortest 10 units (90.2 us), longest 52 units (469.1 us)\n"
    "Pulses in 4-byte entries: 0\n"
    "Pauses (0.25 s or more): 0, 0.000 s in all\n"
    "Zero-length pulses: 0, clamped pulses: 0\n"
    "Running time: 0.001 s (C16 PAL clock, 886724 cycles a second)\n"
    "  (the blocks' 0.005 s count every sample; the running time sums the pulses: each rounded to 8 cycles, one "
    "across two blocks timed at the later block's period, none for the samples after the last edge)\n"
    "Histogram of pulse lengths in TAP units of 8 cycles, 2 a row (* marks a peak):\n"
    "  9- 10 *|" + bar_2 + " 2\n" +
    zero_rows(11, 11, 2) +
    " 13- 14  |" + bar_1_of_2 + " 1\n" +
    zero_rows(15, 49, 2) +
    " 51- 52 *|" + bar_1_of_2 + " 1\n"
    "Peaks:\n"
    "  value       count   length (us)\n"
    "     10           2          90.2\n"
    "     52           1         469.1\n"
    "Problems:\n"
    "  the capture ends inside the samples of block 2 at byte 23: 5 of 13 sample bytes\n";

const std::string wrong_size_report_tail =
    ": TAP image\n"
    "Signature: C16-TAPE-RAW, version 2 (half waves)\n"
    "Platform: 2 (C16 family), video standard: 0 (PAL)\n"
    "Data size field: 10 bytes; 8 bytes follow the header (differs)\n"
    "Pulses: 5, shortest 10 units (90.2 us), longest 1284 units (11584.2 us)\n"
    "Pulses in 4-byte entries: 1\n"
    "Pauses (0.25 s or more): 0, 0.000 s in all\n"
    "Zero-length pulses: 0, clamped pulses: 0\n"
    "Running time: 0.014 s (C16 PAL clock, 886724 cycles a second)\n"
    "Histogram of pulse lengths in TAP units of 8 cycles, 7 a row (* marks a peak):\n"
    "  8- 14 *|" + bar_2 + " 3\n" +
    zero_rows(15, 246, 7) +
    "253-255 *|" + bar_1_of_3 + " 1\n"
    "   >255  |" + bar_1_of_3 + " 1\n"
    "Peaks:\n"
    "  value       count   length (us)\n"
    "     10           2          90.2\n"
    "    255           1        2300.6\n"
    "Problems:\n"
    "  the data size field says 10 bytes, but 8 bytes follow the header\n";

// The numbers of each report, worked out by hand as above.
struct report_case {
    const char* name;
    const bytes* content;
    const std::string* text_tail;
    int status;
    const char* kind;
    std::uint64_t pulses;
    unsigned shortest;
    std::uint64_t longest;
    std::uint64_t long_pulses;
    double running_time;
    std::vector<std::pair<unsigned, std::uint64_t>> histogram; // value, count; the rest are 0
    std::uint64_t longer;
    std::vector<unsigned> peaks;
    std::size_t problems;
};

class inspect_binary : public testing::Test {
protected:
    void SetUp() override { folder = testing_support::make_temp_dir(); }
    void TearDown() override { testing_support::remove_tree(folder); }
    std::string path(const std::string& name) const { return folder + "/" + name; }
    std::string write(const std::string& name, const bytes& content) const
    {
        EXPECT_TRUE(capture::write_file(path(name), content));
        return path(name);
    }
    std::string folder;
};

class hand_checked_report : public inspect_binary, public testing::WithParamInterface<report_case> {};

TEST_P(hand_checked_report, text_and_json_hold_the_worked_out_numbers)
{
    const report_case& c = GetParam();
    const std::string input = write(c.name, *c.content);
    const process_result text = inspect({input});
    EXPECT_EQ(text.status, c.status);
    EXPECT_EQ(text.err, "");
    EXPECT_EQ(text.out, input + *c.text_tail);

    const process_result json_run = inspect({"--json", input});
    EXPECT_EQ(json_run.status, c.status);
    const nlohmann::json report = nlohmann::json::parse(json_run.out);
    EXPECT_EQ(report["file"], input);
    EXPECT_EQ(report["kind"], c.kind);
    EXPECT_EQ(report["complete"], c.status == 0);
    EXPECT_EQ(report["pulses"]["count"], c.pulses);
    EXPECT_EQ(report["pulses"]["shortest"], c.shortest);
    EXPECT_EQ(report["pulses"]["longest"], c.longest);
    EXPECT_EQ(report["pulses"]["long"], c.long_pulses);
    EXPECT_EQ(report["pulses"]["pauses"], 0);
    EXPECT_NEAR(report["running_time_s"].get<double>(), c.running_time, 1e-6);
    std::vector<std::uint64_t> histogram(255, 0);
    for (const auto& [value, count] : c.histogram) {
        histogram[value - 1] = count;
    }
    EXPECT_EQ(report["histogram"]["counts"].get<std::vector<std::uint64_t>>(), histogram);
    EXPECT_EQ(report["histogram"]["longer"], c.longer);
    std::vector<unsigned> peaks;
    for (const auto& each : report["peaks"]) {
        peaks.push_back(each["value"].get<unsigned>());
    }
    EXPECT_EQ(peaks, c.peaks);
    EXPECT_EQ(report["problems"].size(), c.problems);
}

INSTANTIATE_TEST_SUITE_P(
    files, hand_checked_report,
    testing::Values(report_case{"clean_two_blocks.ctf", &clean_capture, &clean_report_tail, 0, "ctf", 5, 10, 1300, 1,
                                11080.0 / 886724, {{10, 2}, {13, 1}, {52, 1}}, 1, {10, 52}, 0},
                    report_case{"truncated.ctf", &truncated_capture, &truncated_report_tail, 5, "ctf", 4, 10, 52, 0,
                                680.0 / 886724, {{10, 2}, {13, 1}, {52, 1}}, 0, {10, 52}, 1},
                    report_case{"wrong_size.tap", &image_with_wrong_size, &wrong_size_report_tail, 0, "tap", 5, 10,
                                1284, 1, 12576.0 / 886724, {{10, 2}, {13, 1}, {255, 1}}, 1, {10, 255}, 1}),
    [](const testing::TestParamInfo<report_case>& test) {
        std::string name = test.param.name;
        return name.substr(0, name.find('.'));
    });

// Entries 10 (80 cycles) at byte 20; 0x06C3E2 = 443362 cycles (0.5 s) at 21,
// a pause at 80 cycles; 221680 cycles at 25, one short of a quarter second
// (221681 cycles); 221681 at 29, a pause at 80 + 443362 + 221680 = 665122
// cycles = 0.750 s. Then 200 pauses more: only 200 are listed.
TEST_F(inspect_binary, every_pause_is_listed_with_its_place_up_to_a_cap)
{
    bytes image = {'C', '1', '6', '-', 'T', 'A', 'P', 'E', '-', 'R', 'A', 'W', 2, 2, 0, 0, 13, 0, 0, 0,
                   0x0A, 0x00, 0xE2, 0xC3, 0x06, 0x00, 0xF0, 0x61, 0x03, 0x00, 0xF1, 0x61, 0x03};
    const std::string input = write("pauses.tap", image);
    const std::string text = inspect({input}).out;
    EXPECT_NE(text.find("Pauses (0.25 s or more): 2, 0.750 s in all\n"
                        "  at 0.000 s (byte 21): 0.500 s\n"
                        "  at 0.750 s (byte 29): 0.250 s\n"
                        "Zero-length"),
              std::string::npos)
        << text;
    const nlohmann::json places = nlohmann::json::parse(inspect({"--json", input}).out)["pulses"]["pause_places"];
    ASSERT_EQ(places.size(), 2U);
    EXPECT_EQ(places[1]["place"]["offset"], 29);
    EXPECT_NEAR(places[1]["place"]["time_s"].get<double>(), 665122.0 / 886724, 1e-9);
    EXPECT_NEAR(places[1]["length_s"].get<double>(), 221681.0 / 886724, 1e-9);

    for (int i = 0; i < 200; ++i) {
        image.insert(image.end(), {0x00, 0xF1, 0x61, 0x03});
    }
    image[16] = 13 + 200 * 4 - 256 * 3; // 813 bytes: 0x032D
    image[17] = 3;
    const std::string many = write("many.tap", image);
    EXPECT_NE(inspect({many}).out.find("  and 2 more\n"), std::string::npos);
    const nlohmann::json report = nlohmann::json::parse(inspect({"--json", many}).out);
    EXPECT_EQ(report["pulses"]["pause_places"].size(), 200U);
    EXPECT_EQ(report["pulses"]["pauses_not_listed"], 2);
}

// A version 1 image of entries 0x30 (384 cycles) at byte 20, 246311 cycles
// (0x03C227) at 21 and 246312 (0x03C228) at 25. At the C64's 985248 cycles a
// second a pause lasts 246312 cycles: one, at 384 + 246311 = 246695 cycles =
// 0.250387 s, of 0.250000 s; 384 cycles are 389.75 us; the tape runs 493007
// cycles = 0.500387 s. Signed C16 it runs 493007 / 886724 = 0.555987 s, and
// both long entries are pauses (from 221681 cycles): 492623 cycles = 0.555554 s.
TEST_F(inspect_binary, an_image_is_timed_at_the_clock_of_its_machine_and_video_standard)
{
    bytes image = {'C', '6', '4', '-', 'T', 'A', 'P', 'E', '-', 'R', 'A', 'W', 1, 0, 0, 0, 9, 0, 0, 0,
                   0x30, 0x00, 0x27, 0xC2, 0x03, 0x00, 0x28, 0xC2, 0x03};
    const std::string c64 = write("c64.tap", image);
    const std::string text = inspect({c64}).out;
    EXPECT_EQ(text.rfind(c64 + ": TAP image of the C64, timed at its PAL clock of 985248 cycles a second\n", 0), 0U)
        << text;
    EXPECT_NE(text.find("shortest 48 units (389.7 us)"), std::string::npos) << text;
    EXPECT_NE(text.find("Pauses (0.25 s or more): 1, 0.250 s in all\n"
                        "  at 0.250 s (byte 25): 0.250 s\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Running time: 0.500 s (C64 PAL clock, 985248 cycles a second)\n"), std::string::npos)
        << text;
    EXPECT_NEAR(nlohmann::json::parse(inspect({"--json", c64}).out)["running_time_s"].get<double>(),
                493007.0 / 985248, 1e-9);
    EXPECT_EQ(inspect({"--summary", c64}).out, c64 + ": TAP image of the C64, 0.500 s, no file of the ROM format\n");

    image[1] = '1';
    image[2] = '6';
    image[13] = 2;
    const std::string c16 = write("c16.tap", image);
    const std::string c16_text = inspect({c16}).out;
    EXPECT_EQ(c16_text.rfind(c16 + ": TAP image\n", 0), 0U) << c16_text;
    EXPECT_NE(c16_text.find("Pauses (0.25 s or more): 2, 0.556 s in all\n"), std::string::npos) << c16_text;
    EXPECT_NE(c16_text.find("Running time: 0.556 s (C16 PAL clock, 886724 cycles a second)\n"), std::string::npos)
        << c16_text;

    // The video standard byte chooses the clock: 493007 cycles at each.
    struct clock_case {
        char machine; // '1' C16, '6' C64 (the signature's second digit)
        std::uint8_t video;
        const char* line;
    };
    for (const clock_case& c : {clock_case{'1', 1, "Running time: 0.551 s (C16 NTSC clock, 894886 cycles a second)\n"},
                                clock_case{'1', 2, "Running time: 0.556 s (C16 PAL clock, 886724 cycles a second)\n"},
                                clock_case{'6', 1, "Running time: 0.482 s (C64 NTSC clock, 1022727 cycles a second)\n"},
                                clock_case{'6', 2, "Running time: 0.482 s (C64 old NTSC clock, 1022730 cycles a second)\n"},
                                clock_case{'6', 3, "Running time: 0.482 s (C64 PAL-N clock, 1023440 cycles a second)\n"},
                                clock_case{'6', 4, "Running time: 0.500 s (C64 PAL clock, 985248 cycles a second)\n"}}) {
        image[1] = c.machine == '1' ? '1' : '6';
        image[2] = c.machine == '1' ? '6' : '4';
        image[14] = c.video;
        const std::string file = write("video.tap", image);
        const std::string report = inspect({file}).out;
        EXPECT_NE(report.find(c.line), std::string::npos) << report;
    }
}

TEST_F(inspect_binary, the_json_of_a_capture_holds_its_blocks_and_the_image_its_header)
{
    const nlohmann::json capture_report = nlohmann::json::parse(inspect({"--json", write("c.ctf", clean_capture)}).out);
    const nlohmann::json& blocks = capture_report["ctf"]["blocks"];
    ASSERT_EQ(blocks.size(), 2U);
    EXPECT_EQ(blocks[1]["sample_period"], 100);
    EXPECT_EQ(blocks[1]["sample_bytes"], 13);
    EXPECT_EQ(blocks[1]["samples"], 104);
    EXPECT_EQ(blocks[1]["edges"], 2);
    EXPECT_NEAR(blocks[1]["running_time_s"].get<double>(), 104 * 104.0 / 886724, 1e-9);
    const nlohmann::json image_report =
        nlohmann::json::parse(inspect({"--json", write("w.tap", image_with_wrong_size)}).out);
    EXPECT_EQ(image_report["tap"]["signature"], "C16-TAPE-RAW");
    EXPECT_EQ(image_report["tap"]["version"], 2);
    EXPECT_EQ(image_report["tap"]["data_size_field"], 10);
    EXPECT_EQ(image_report["tap"]["data_bytes"], 8);
    EXPECT_EQ(image_report["tap"]["data_size_matches"], false);
    // A 4-byte entry of 800 cycles is a long entry of a pulse of 100 units.
    const bytes long_short = {'C', '1', '6', '-', 'T', 'A', 'P', 'E', '-', 'R', 'A', 'W', 1, 2, 0, 0,
                              5,   0,   0,   0,   0x00, 0x20, 0x03, 0x00, 0x0A};
    const nlohmann::json long_report = nlohmann::json::parse(inspect({"--json", write("l.tap", long_short)}).out);
    EXPECT_EQ(long_report["pulses"]["long"], 1);
    EXPECT_EQ(long_report["histogram"]["longer"], 0);
    EXPECT_EQ(long_report["histogram"]["counts"][99], 1);
    EXPECT_EQ(long_report["pulses"]["longest"], 100);
}

TEST_F(inspect_binary, full_waves_report_the_asymmetric_waves_and_the_advisory)
{
    // 250 waves of a low phase of 5 and a high phase of 9 samples; the first
    // low phase is measured as 6, its edge sample included, and its wave
    // passes (9 is only 3 longer).
    std::vector<std::uint32_t> phases;
    for (int i = 0; i < 250; ++i) {
        phases.insert(phases.end(), {5, 9});
    }
    const std::string input = write("asymmetric.ctf", capture::ctf_image({capture::block{20, capture::pack_phases(phases)}}));
    const nlohmann::json report = nlohmann::json::parse(inspect({"--json", "--tap-version", "1", input}).out);
    EXPECT_EQ(report["ctf"]["tap_version"], 1);
    EXPECT_EQ(report["ctf"]["asymmetric_waves"], 249);
    EXPECT_EQ(report["ctf"]["advisory"], true);
    EXPECT_NE(inspect({"--tap-version", "1", input}).out.find("Asymmetric waves: 249 (velmora would recommend TAP version 2)"),
              std::string::npos);
}

TEST_F(inspect_binary, standard_input_reads_like_the_file)
{
    const std::string input = write("c.ctf", clean_capture);
    const process_result piped = inspect({"-"}, input);
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.out, "standard input" + clean_report_tail);
}

struct status_case {
    const char* name;
    std::vector<std::string> arguments; // "IN" is the clean capture, "DIR" the test's folder
    int status;
    const char* out_start;
    const char* err_start;
};

class exit_status : public inspect_binary, public testing::WithParamInterface<status_case> {};

TEST_P(exit_status, tells_how_the_run_ended)
{
    const status_case& c = GetParam();
    std::vector<std::string> arguments;
    for (const std::string& argument : c.arguments) {
        arguments.push_back(argument == "IN"          ? write("in.ctf", clean_capture)
                            : argument.rfind("DIR", 0) == 0 ? folder + argument.substr(3)
                                                            : argument);
    }
    const process_result run = inspect(arguments);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out.rfind(c.out_start, 0), 0U) << run.out;
    EXPECT_EQ(run.err.rfind(c.err_start, 0), 0U) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    cases, exit_status,
    testing::Values(status_case{"help", {"--help"}, 0, "Reports on a CTF tape capture", ""},
                    status_case{"version", {"--version"}, 0, "velmora-inspect 1.0\n", ""},
                    status_case{"no_file", {}, 1, "", "velmora-inspect: "},
                    status_case{"two_files_one_picture", {"--svg", "DIR/h.svg", "IN", "IN"}, 1, "", "velmora-inspect: "},
                    status_case{"force_without_extract", {"--force", "IN"}, 1, "", "velmora-inspect: "},
                    status_case{"tap_version_3", {"--tap-version", "3", "IN"}, 1, "", "velmora-inspect: "},
                    status_case{"unknown_option", {"--svgg", "x", "IN"}, 1, "", "velmora-inspect: "},
                    status_case{"missing_file", {"/nonexistent/in.ctf"}, 2, "",
                                "It's impossible to open /nonexistent/in.ctf to read\n"},
                    status_case{"a_folder", {"DIR"}, 2, "", "It's impossible to open "},
                    // Refused before the file is read: no report.
                    status_case{"picture_cannot_be_opened", {"--svg", "/nonexistent/h.svg", "IN"}, 3, "",
                                "It's impossible to open /nonexistent/h.svg to write\n"},
#ifndef _WIN32
                    status_case{"picture_cannot_be_written", {"--svg", "/dev/full", "IN"}, 6, "",
                                "It's impossible to write /dev/full\n"},
#endif
                    status_case{"report_cannot_be_written", {"IN"}, 0, "", ""}),
    [](const testing::TestParamInfo<status_case>& test) { return test.param.name; });

// A ROM-format capture of a program named like a device and a path, another
// whose byte 5 is wrong in both copies: a summary line each, status 7, and
// the programs written once each under safe names, never over a file.
TEST_F(inspect_binary, extracts_the_programs_under_safe_names_and_tells_which_will_not_load)
{
    const bytes program = {0x0F, 0x10, 0x0A, 0x00, 0x99, 0x22, 0x48, 0x49, 0x22, 0x00, 0x00, 0x00};
    const auto rom_capture = [&](const std::string& name, std::span<const rom_tape_byte_fault> faults) {
        return capture::ctf_image({capture::block{
            20, capture::pack_phases(capture::cycles_to_samples(rom_tape_program(0x1001, program, name, faults), 20))}});
    };
    const rom_tape_byte_fault both[] = {{1, 0, 5, 0x40, false}, {1, 1, 5, 0x40, false}};
    const std::string good = write("good.ctf", rom_capture("AUX.A/B", {}));
    const std::string lost = write("lost.ctf", rom_capture("AUX.A/B", both));
    const std::string out = path("out");
    ASSERT_TRUE(std::filesystem::create_directory(out));
    ASSERT_TRUE(capture::write_file(out + "/_AUX.A_B.prg", {1, 2, 3}));

    const process_result run = inspect({"--summary", "--extract", out, "--extract-damaged", good, lost, good});
    EXPECT_EQ(run.status, 7);
    const std::string line = ": CTF capture, 12.100 s, 1 file: \"AUX.A/B\" (program, $1001-$100D, 12 bytes) ";
    EXPECT_EQ(run.out, good + line + "loads\nExtracted: " + out + "/_AUX.A_B-2.prg\n" + lost + line +
                           "lost\nExtracted: " + out + "/_AUX.A_B.damaged.prg\n" + good + line +
                           "loads\nExtracted: " + out + "/_AUX.A_B-3.prg\n");
    bytes expected = {0x01, 0x10};
    expected.insert(expected.end(), program.begin(), program.end());
    bytes read;
    EXPECT_TRUE(capture::read_file(out + "/_AUX.A_B-2.prg", read) && read == expected);
    EXPECT_TRUE(capture::read_file(out + "/_AUX.A_B.prg", read) && read == bytes({1, 2, 3})) << "a file was overwritten";
    expected[2 + 5] ^= 0x40; // byte 5, wrong in both copies
    EXPECT_TRUE(capture::read_file(out + "/_AUX.A_B.damaged.prg", read) && read == expected);

    EXPECT_EQ(inspect({"--extract", out, "--force", good}).status, 0);
    EXPECT_TRUE(capture::read_file(out + "/_AUX.A_B.prg", read) && read.size() == 14) << "--force replaces";
}

#ifndef _WIN32
TEST_F(inspect_binary, a_report_that_cannot_be_written_ends_with_status_6)
{
    const std::string input = write("in.ctf", clean_capture);
    const process_result run = run_process({VELMORA_INSPECT_BINARY, input}, "", "/dev/full");
    EXPECT_EQ(run.status, 6);
    EXPECT_EQ(run.err, "It's impossible to write standard output\n");
}
#endif

// Linux only: a Windows file name cannot hold < or >, and the checking tools
// are Linux programs.
#ifndef _WIN32
// Width and height of a PNG file, from its IHDR chunk.
std::pair<unsigned, unsigned> png_size(const std::string& png)
{
    const auto big_endian = [&png](std::size_t at) {
        unsigned value = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            value = (value << 8) | static_cast<unsigned char>(png[at + i]);
        }
        return value;
    };
    return png.size() < 24 || png.compare(1, 3, "PNG") != 0 ? std::pair{0U, 0U} : std::pair{big_endian(16), big_endian(20)};
}

struct picture_case {
    const char* name;
    const bytes* content;
};

class picture : public inspect_binary, public testing::WithParamInterface<picture_case> {};

TEST_P(picture, is_well_formed_and_renders_at_its_size)
{
    // A name XML must escape, in the title.
    const std::string input = write(std::string("a&b<c>") + GetParam().name, *GetParam().content);
    const std::string svg = path("h.svg");
    const process_result run = inspect({"--svg", svg, input});
    ASSERT_EQ(run.status, GetParam().content == &truncated_capture ? 5 : 0);
    const std::string drawn = read_file(svg);
    EXPECT_NE(drawn.find("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"800\" height=\"440\""), std::string::npos);
    EXPECT_NE(drawn.find("a&amp;b&lt;c&gt;"), std::string::npos);
    const std::string xmllint = find_tool("xmllint");
    if (xmllint.empty()) {
        GTEST_SKIP() << "xmllint is not installed (Debian package libxml2-utils): the picture is not checked";
    }
    const process_result lint = run_process({xmllint, "--noout", svg});
    EXPECT_EQ(lint.status, 0) << lint.err;
    EXPECT_EQ(lint.err, "");
    const std::string rsvg_convert = find_tool("rsvg-convert");
    if (rsvg_convert.empty()) {
        GTEST_SKIP() << "rsvg-convert is not installed (Debian package librsvg2-bin): the picture is not rendered";
    }
    const process_result render = run_process({rsvg_convert, "-o", path("h.png"), svg});
    ASSERT_EQ(render.status, 0) << render.err;
    EXPECT_EQ(png_size(read_file(path("h.png"))), (std::pair{800U, 440U}));
}

const bytes no_pulses = capture::ctf_image({capture::block{20, {0, 0, 0}}});
const bytes sparse_pauses = capture::ctf_image(
    {capture::block{255, capture::pack_phases(capture::random_phases(capture::pattern::sparse, 5, 20000 * 8))}});

INSTANTIATE_TEST_SUITE_P(files, picture,
                         testing::Values(picture_case{"clean.ctf", &clean_capture},
                                         picture_case{"truncated.ctf", &truncated_capture},
                                         picture_case{"wrong_size.tap", &image_with_wrong_size},
                                         picture_case{"no_pulses.ctf", &no_pulses},
                                         picture_case{"only_long_pulses.ctf", &sparse_pauses}),
                         [](const testing::TestParamInfo<picture_case>& test) {
                             std::string name = test.param.name;
                             return name.substr(0, name.find('.'));
                         });
#endif

// --- The picture's file -------------------------------------------------------

const std::string old_picture = "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\"/>\n";

struct picture_target_case {
    const char* name;
    // The --svg path, the input argument and standard input, where IN is the
    // capture's path, AS_LINK a symbolic and HARD a hard link to it, SAME
    // another spelling of its path, OLD a file holding old_picture, TAP an
    // image; "" for standard input: none.
    std::vector<std::string> arguments;
    const char* standard_input;
    bool through_a_pipe; // standard input is `cat IN |`
    int status;
    const char* err;     // @ stands for the --svg path
};

class picture_target : public inspect_binary, public testing::WithParamInterface<picture_target_case> {};

// The picture never replaces the input nor any file that is not a picture;
// it is refused before anything is read (no report), and every file is left
// as it was.
TEST_P(picture_target, that_is_the_input_or_no_picture_is_refused_before_reading)
{
    const picture_target_case& c = GetParam();
    const std::string input = write("tape.ctf", clean_capture);
    const std::string old = write("old.svg", bytes(old_picture.begin(), old_picture.end()));
    const std::string tap = write("tape.tap", image_with_wrong_size);
    namespace fs = std::filesystem;
#ifndef _WIN32
    fs::create_symlink(input, path("link.ctf"));
#endif
    fs::create_hard_link(input, path("hard.ctf"));
    const auto resolve = [&](const std::string& argument) {
        return argument == "IN"        ? input
               : argument == "AS_LINK" ? path("link.ctf")
               : argument == "HARD"    ? path("hard.ctf")
               : argument == "SAME"    ? folder + "/./../" + std::filesystem::path(folder).filename().string() + "/tape.ctf"
               : argument == "OLD"     ? old
               : argument == "TAP"     ? tap
                                       : argument;
    };
    std::vector<std::string> command = {VELMORA_INSPECT_BINARY};
    for (const std::string& argument : c.arguments) {
        command.push_back(resolve(argument));
    }
    process_result run{};
    if (c.through_a_pipe) {
        std::string script = "cat \"$0\" | exec";
        for (std::size_t i = 0; i < command.size(); ++i) {
            script += " \"$" + std::to_string(i + 1) + "\"";
        }
        command.insert(command.begin(), input);
        command.insert(command.begin(), {"/bin/sh", "-c", script});
        run = run_process(command);
    } else {
        run = run_process(command, c.standard_input[0] == '\0' ? "" : resolve(c.standard_input));
    }
    std::string err = c.err;
    err.replace(err.find('@'), 1, command[command.size() - 2]);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, "") << "the input was read";
    EXPECT_EQ(run.err, err);
    EXPECT_EQ(read_file(input), std::string(clean_capture.begin(), clean_capture.end()));
    EXPECT_EQ(read_file(old), old_picture);
    EXPECT_EQ(read_file(tap), std::string(image_with_wrong_size.begin(), image_with_wrong_size.end()));
#ifndef _WIN32
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(path("link.ctf"))));
#endif
}

const char* const is_input = "@ is the input file; the picture is not written over it\n";
const char* const no_picture = "@ is not an SVG picture; it is left as it was\n";

// Both systems refuse the input under every name they have; the symbolic
// link, standard input from a file (whose identity Wine does not give) and
// the shell's pipe are Linux's.
const picture_target_case picture_targets[] = {
    {"the_input_itself", {"--svg", "IN", "IN"}, "", false, 3, is_input},
    {"a_hard_link", {"--svg", "HARD", "IN"}, "", false, 3, is_input},
    {"another_spelling", {"--svg", "SAME", "IN"}, "", false, 3, is_input},
    {"an_image_input", {"--svg", "TAP", "TAP"}, "", false, 3, is_input},
    // Arguments swapped after an earlier run.
    {"a_capture_swapped_with_the_picture", {"--svg", "IN", "OLD"}, "", false, 3, no_picture},
    {"an_image", {"--svg", "TAP", "IN"}, "", false, 3, no_picture},
#ifndef _WIN32
    {"a_symbolic_link", {"--svg", "AS_LINK", "IN"}, "", false, 3, is_input},
    {"standard_input_from_it", {"--svg", "IN", "-"}, "IN", false, 3, is_input},
    // The input cannot be told by its identity: it holds no picture.
    {"piped_from_it", {"--svg", "IN", "-"}, "", true, 3, no_picture},
#endif
};

INSTANTIATE_TEST_SUITE_P(cases, picture_target, testing::ValuesIn(picture_targets),
                         [](const testing::TestParamInfo<picture_target_case>& test) { return test.param.name; });

// An earlier picture, or an empty file, is replaced by the new picture.
TEST_F(inspect_binary, a_picture_or_an_empty_file_is_replaced)
{
    const std::string input = write("tape.ctf", clean_capture);
    for (const std::string& before : {old_picture, std::string("\xEF\xBB\xBF  <svg/>"), std::string()}) {
        const std::string picture_path = write("pic.svg", bytes(before.begin(), before.end()));
        const process_result run = inspect({"--svg", picture_path, input});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(read_file(picture_path).rfind("<?xml", 0), 0U);
        EXPECT_NE(read_file(picture_path).find("</svg>"), std::string::npos);
    }
}

#ifndef _WIN32
// A picture that cannot be written whole (here past a file size limit of a
// few KiB; the picture is larger) leaves no file, nor the earlier picture.
TEST_F(inspect_binary, a_picture_that_cannot_be_written_whole_leaves_no_file)
{
    const std::string input = write("tape.ctf", clean_capture);
    const std::string picture_path = write("pic.svg", bytes(old_picture.begin(), old_picture.end()));
    const process_result run = run_process(
        {"/bin/sh", "-c", "ulimit -f 4 && exec \"$0\" --svg \"$1\" \"$2\" >/dev/null", VELMORA_INSPECT_BINARY, picture_path, input});
    EXPECT_EQ(run.status, 6);
    EXPECT_EQ(run.err, "It's impossible to write " + picture_path + "\n");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(picture_path)))
        << "a partial picture was left";
    EXPECT_EQ(read_file(input), std::string(clean_capture.begin(), clean_capture.end()));
}
#endif

// The file name in the picture's title, with the characters XML reserves:
// escaped where pugixml is built in, each shown as '?' in the Windows build,
// which has no pugixml. (Neither system allows < > " in a file name.)
TEST_F(inspect_binary, the_title_shows_a_file_name_with_reserved_characters_safely)
{
    const std::string input = write("a&b'c.ctf", clean_capture);
    const process_result run = inspect({"--svg", path("pic.svg"), input});
    ASSERT_EQ(run.status, 0) << run.err;
#ifdef _WIN32
    const std::string title = "Pulse lengths of a?b?c.ctf<";
#else
    const std::string title = "Pulse lengths of a&amp;b'c.ctf<";
#endif
    EXPECT_NE(read_file(path("pic.svg")).find(title), std::string::npos) << read_file(path("pic.svg"));
}

TEST_F(inspect_binary, the_example_picture_is_what_the_program_draws)
{
    const std::string examples = VELMORA_EXAMPLES_DIR;
    const process_result run = inspect({"--svg", path("demo-histogram.svg"), examples + "/demo.ctf"});
    ASSERT_EQ(run.status, 0);
    EXPECT_TRUE(read_file(path("demo-histogram.svg")) == read_file(examples + "/demo-histogram.svg"))
        << "examples/demo-histogram.svg is out of date; make it again with\n"
           "  build/velmora-inspect --svg examples/demo-histogram.svg examples/demo.ctf";
    inspect({"--svg", path("hello-rom-histogram.svg"), examples + "/hello-rom.ctf"});
    EXPECT_TRUE(read_file(path("hello-rom-histogram.svg")) == read_file(examples + "/hello-rom-histogram.svg"))
        << "examples/hello-rom-histogram.svg is out of date (see README.md)";
}

// The text between `start` and the next `end` in `text`, or "" if absent.
std::string between(const std::string& text, const std::string& start, const std::string& end)
{
    const std::size_t from = text.find(start);
    if (from == std::string::npos) {
        return "";
    }
    const std::size_t to = text.find(end, from + start.size());
    return text.substr(from + start.size(), to == std::string::npos ? std::string::npos : to - from - start.size());
}

TEST_F(inspect_binary, the_example_reports_of_the_manual_page_and_the_readme_are_what_the_program_prints)
{
    const std::string examples = VELMORA_EXAMPLES_DIR;
    const process_result run = inspect({examples + "/demo.ctf"});
    ASSERT_EQ(run.status, 0);
    ASSERT_EQ(run.out.rfind(examples + "/demo.ctf: ", 0), 0U);
    const std::string report = "examples/demo.ctf" + run.out.substr(examples.size() + 9);
    // The page escapes its minus signs and backslashes for roff.
    std::string page = between(read_file(examples + "/../doc/velmora-inspect.1.in"),
                               "velmora\\-inspect examples/demo.ctf\n", ".EE");
    for (std::size_t at = page.find('\\'); at != std::string::npos; at = page.find('\\', at + 1)) {
        page.replace(at, 2, page.compare(at, 2, "\\e") == 0 ? "\\" : page.substr(at + 1, 1));
    }
    EXPECT_EQ(page, report) << "doc/velmora-inspect.1.in shows an outdated report";

    // The ROM-format example of the README, whose program the ROM would load wrong.
    const std::string readme = read_file(examples + "/../README.md");
    const process_result rom_run = inspect({examples + "/hello-rom.ctf"});
    EXPECT_EQ(rom_run.status, 7);
    EXPECT_EQ(between(readme, "$ velmora-inspect examples/hello-rom.ctf\n", "```"),
              "examples/hello-rom.ctf" + rom_run.out.substr(examples.size() + 14))
        << "README.md shows an outdated report of examples/hello-rom.ctf";
}

// --- Pinned boundaries of the report ----------------------------------------

const std::string corpus = VELMORA_CAPTURES_DIR;

// A C16 image of `version` whose data is `entries`, its size field right.
bytes tap_image(std::uint8_t version, const bytes& entries)
{
    bytes image = {'C', '1', '6', '-', 'T', 'A', 'P', 'E', '-', 'R', 'A', 'W', version, 2, 0, 0};
    const auto size = static_cast<std::uint32_t>(entries.size());
    image.insert(image.end(), {static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
                               static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 24)});
    image.insert(image.end(), entries.begin(), entries.end());
    return image;
}

struct long_entry_case {
    const char* name;
    bytes entry;          // one 4-byte entry: 00 and its cycles, least significant byte first
    unsigned value;       // the histogram's value it counts at, 0 for "longer"
    std::uint64_t pauses; // 0 or 1
    double pause_cycles;
};

class long_entry : public inspect_binary, public testing::WithParamInterface<long_entry_case> {};

// A 4-byte entry of up to 255 units (up to 2047 cycles) belongs to the
// histogram, a longer one to "longer"; a pulse of a quarter of a second,
// 886724 / 4 = 221681 cycles, or more is a pause.
TEST_P(long_entry, is_counted_by_its_length)
{
    const long_entry_case& c = GetParam();
    const std::string input = write("one.tap", tap_image(2, c.entry));
    const process_result run = inspect({"--json", input});
    ASSERT_EQ(run.status, 0) << run.err;
    const nlohmann::json report = nlohmann::json::parse(run.out);
    std::vector<std::uint64_t> histogram(255, 0);
    if (c.value != 0) {
        histogram[c.value - 1] = 1;
    }
    EXPECT_EQ(report["histogram"]["counts"].get<std::vector<std::uint64_t>>(), histogram);
    EXPECT_EQ(report["histogram"]["longer"], c.value == 0 ? 1 : 0);
    EXPECT_EQ(report["pulses"]["long"], 1);
    EXPECT_EQ(report["pulses"]["pauses"], c.pauses);
    EXPECT_NEAR(report["pulses"]["pause_time_s"].get<double>(), c.pause_cycles / 886724, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(
    lengths, long_entry,
    testing::Values(long_entry_case{"units_254", {0x00, 0xF0, 0x07, 0x00}, 254, 0, 0},  // 2032 = 0x7F0 cycles
                    long_entry_case{"units_255", {0x00, 0xF8, 0x07, 0x00}, 255, 0, 0},  // 2040 = 0x7F8
                    long_entry_case{"units_255_and_7_cycles", {0x00, 0xFF, 0x07, 0x00}, 255, 0, 0}, // 2047 = 0x7FF
                    long_entry_case{"units_256", {0x00, 0x00, 0x08, 0x00}, 0, 0, 0},   // 2048 = 0x800
                    // 221680 = 3 * 65536 + 0x61F0 = 0x361F0, a cycle short of a quarter second.
                    long_entry_case{"pause_less_a_cycle", {0x00, 0xF0, 0x61, 0x03}, 0, 0, 0},
                    long_entry_case{"pause_of_a_quarter_second", {0x00, 0xF1, 0x61, 0x03}, 0, 1, 221681},
                    long_entry_case{"pause_and_a_cycle", {0x00, 0xF2, 0x61, 0x03}, 0, 1, 221682}),
    [](const testing::TestParamInfo<long_entry_case>& test) { return test.param.name; });

struct image_version_case {
    std::uint8_t version;
    const char* meaning;
    std::vector<std::string> problems;
};

class image_version : public inspect_binary, public testing::WithParamInterface<image_version_case> {};

// An image of a version above 2 is reported as such and read as versions 1
// and 2 are: a 0 byte opens a 4-byte entry. Data 00 20 03 00 0A: a 4-byte
// entry of 0x320 = 800 cycles (100 units), then 10 units.
TEST_P(image_version, above_2_is_unknown_and_read_as_1_or_2)
{
    const image_version_case& c = GetParam();
    const std::string input = write("v.tap", tap_image(c.version, {0x00, 0x20, 0x03, 0x00, 0x0A}));
    const process_result run = inspect({"--json", input});
    ASSERT_EQ(run.status, 0) << run.err;
    const nlohmann::json report = nlohmann::json::parse(run.out);
    EXPECT_EQ(report["tap"]["version"], c.version);
    EXPECT_EQ(report["tap"]["version_meaning"], c.meaning);
    EXPECT_EQ(report["problems"].get<std::vector<std::string>>(), c.problems);
    EXPECT_EQ(report["pulses"]["count"], 2);
    EXPECT_EQ(report["pulses"]["long"], 1);
    EXPECT_EQ(report["histogram"]["counts"][99], 1);
    EXPECT_EQ(report["histogram"]["counts"][9], 1);
}

INSTANTIATE_TEST_SUITE_P(
    versions, image_version,
    testing::Values(image_version_case{2, "half waves", {}},
                    image_version_case{3, "unknown", {"unknown TAP version 3: read as version 1 or 2"}},
                    image_version_case{4, "unknown", {"unknown TAP version 4: read as version 1 or 2"}}),
    [](const testing::TestParamInfo<image_version_case>& test) {
        return "version_" + std::to_string(test.param.version);
    });

struct cut_case {
    const char* name;
    const char* file;  // in tests/captures/
    std::size_t kept;  // bytes of it given to the inspector; 0 all
    int status;
    std::vector<std::string> problems;
};

class cut_file : public inspect_binary, public testing::WithParamInterface<cut_case> {};

// A file that ends early is reported with the offset where the piece it
// cut starts: the block descriptor, or the 4-byte entry.
TEST_P(cut_file, is_reported_at_the_start_of_the_cut_piece)
{
    const cut_case& c = GetParam();
    std::string content = read_file(corpus + "/" + c.file);
    ASSERT_FALSE(content.empty()) << c.file;
    if (c.kept != 0) {
        content.resize(c.kept);
    }
    const std::string input = write(c.file, bytes(content.begin(), content.end()));
    const process_result run = inspect({"--json", input});
    EXPECT_EQ(run.status, c.status);
    const nlohmann::json report = nlohmann::json::parse(run.out);
    EXPECT_EQ(report["problems"].get<std::vector<std::string>>(), c.problems);
}

// The captures: a 6-byte header (block count field 2 or 3), then
// header_only stops; truncated_in_descriptor holds 3 bytes of block 1's
// descriptor (9 bytes); truncated_in_second_descriptor holds block 1 (a
// descriptor and 2 sample bytes, bytes 6 to 12) and 2 bytes of block 2's
// descriptor (15 bytes).
// phase_across_blocks.v2.tap: a 20-byte header stating 14 bytes of data,
// then the entries 0D (byte 20) and 68 (21), the gap's two 4-byte entries
// (22 and 26) and the 4-byte entry 00 80 13 00 (30 to 33).
INSTANTIATE_TEST_SUITE_P(
    places, cut_file,
    testing::Values(
        cut_case{"capture_before_a_descriptor", "header_only.ctf", 0, 5,
                 {"the capture ends inside the descriptor of block 1 at byte 6, after 6 bytes"}},
        cut_case{"capture_inside_a_descriptor", "truncated_in_descriptor.ctf", 0, 5,
                 {"the capture ends inside the descriptor of block 1 at byte 6, after 9 bytes"}},
        cut_case{"capture_inside_the_second_descriptor", "truncated_in_second_descriptor.ctf", 0, 5,
                 {"the capture ends inside the descriptor of block 2 at byte 13, after 15 bytes"}},
        cut_case{"image_inside_the_gap", "phase_across_blocks.v2.tap", 23, 5,
                 {"the image ends inside a 4-byte entry at byte 22",
                  "the data size field says 14 bytes, but 3 bytes follow the header"}},
        cut_case{"image_before_a_4_byte_entry", "phase_across_blocks.v2.tap", 30, 0,
                 {"the data size field says 14 bytes, but 10 bytes follow the header"}},
        cut_case{"image_after_its_first_byte", "phase_across_blocks.v2.tap", 31, 5,
                 {"the image ends inside a 4-byte entry at byte 30",
                  "the data size field says 14 bytes, but 11 bytes follow the header"}},
        cut_case{"image_before_its_last_byte", "phase_across_blocks.v2.tap", 33, 5,
                 {"the image ends inside a 4-byte entry at byte 30",
                  "the data size field says 14 bytes, but 13 bytes follow the header"}},
        cut_case{"image_whole", "phase_across_blocks.v2.tap", 0, 0, {}}),
    [](const testing::TestParamInfo<cut_case>& test) { return test.param.name; });

struct full_wave_case {
    const char* file; // in tests/captures/
    int version;
    std::uint64_t asymmetric; // version 1
    bool advisory;
    double block_cycles; // samples x period x 1.01 (version 1) or 1.04 (version 2)
};

class measured_version : public inspect_binary, public testing::WithParamInterface<full_wave_case> {};

// The inspector's advice follows velmora's: more than 200 asymmetric waves.
// A block's time scales its samples as its version's entries do.
// asymmetric_200.ctf holds 682 sample bytes (5456 samples) at period 20,
// asymmetric_201.ctf 685 (5480); make_corpus.cpp says how the waves are
// made.
TEST_P(measured_version, advises_and_times_its_blocks_as_the_version_would)
{
    const full_wave_case& c = GetParam();
    const std::string input = corpus + "/" + c.file;
    const process_result run = inspect({"--json", "--tap-version", std::to_string(c.version), input});
    ASSERT_EQ(run.status, 0) << run.err;
    const nlohmann::json report = nlohmann::json::parse(run.out);
    ASSERT_EQ(report["ctf"]["blocks"].size(), 1U);
    EXPECT_NEAR(report["ctf"]["blocks"][0]["running_time_s"].get<double>(), c.block_cycles / 886724, 1e-12);
    if (c.version == 1) {
        EXPECT_EQ(report["ctf"]["asymmetric_waves"], c.asymmetric);
        EXPECT_EQ(report["ctf"]["advisory"], c.advisory);
        const std::string line = "Asymmetric waves: " + std::to_string(c.asymmetric) + " (velmora " +
                                 (c.advisory ? "would" : "would not") + " recommend TAP version 2)\n";
        EXPECT_NE(inspect({"--tap-version", "1", input}).out.find(line), std::string::npos) << line;
    } else {
        EXPECT_FALSE(report["ctf"].contains("advisory"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    captures, measured_version,
    testing::Values(full_wave_case{"asymmetric_200.ctf", 1, 200, false, 110211.2}, // 5456 x 20 x 1.01
                    full_wave_case{"asymmetric_201.ctf", 1, 201, true, 110696},     // 5480 x 20 x 1.01
                    full_wave_case{"asymmetric_201.ctf", 2, 0, false, 113984}),     // 5480 x 20 x 1.04
    [](const testing::TestParamInfo<full_wave_case>& test) {
        std::string name = test.param.file;
        return name.substr(0, name.find('.')) + "_v" + std::to_string(test.param.version);
    });

struct layout_case {
    const char* name;
    bytes entries;
    std::vector<std::string> drawn;     // pieces of the picture
    std::vector<std::string> not_drawn;
};

class picture_layout : public inspect_binary, public testing::WithParamInterface<layout_case> {};

// Pulses above 255 units get a bar of their own at the right, past a
// shortened unit axis; a picture without them uses the whole width.
TEST_P(picture_layout, gives_the_pulses_above_255_units_their_own_column)
{
    const layout_case& c = GetParam();
    const std::string input = write("l.tap", tap_image(2, c.entries));
    const std::string svg = path("l.svg");
    ASSERT_EQ(inspect({"--svg", svg, input}).status, 0);
    const std::string drawn = read_file(svg);
    for (const std::string& piece : c.drawn) {
        EXPECT_NE(drawn.find(piece), std::string::npos) << "missing: " << piece;
    }
    for (const std::string& piece : c.not_drawn) {
        EXPECT_EQ(drawn.find(piece), std::string::npos) << "drawn: " << piece;
    }
}

// The unit axis runs from x = 80 to 770, or to 715 when the column of the
// longer pulses (a bar at 730, 30 wide; its label at 745) is drawn. With
// entries of 10 units the axis ends at 16 units (ticks of 2 up to
// max(ceil(11 / 2) x 2, 16)), labelled at the axis' end. With a value of
// 255 it ends at 256 (ticks of 25), and the tick 250 is at 80 + 250 / 256 x
// 690 = 753.83. The counts axis is logarithmic and ends at the power of ten
// at or above 4 x 2 pulses, at least 10: a bar of n pulses is
// log10(1 + n) / log10(1 + 10) x 280 high, so that of one longer pulse is
// 0.30103 / 1.04139 x 280 = 80.94, its top at 384 - 80.94 = 303.06.
const std::string longer_label = "<text x=\"745.0\" y=\"402.0\">&gt;255</text>";
const std::string longer_bar = "<rect x=\"730.0\" y=\"303.06\" width=\"30\" height=\"80.94\"/>";
const std::string full_axis = "<line x1=\"80.0\" y1=\"384.0\" x2=\"770.0\" y2=\"384.0\"/>";
const std::string short_axis = "<line x1=\"80.0\" y1=\"384.0\" x2=\"715.0\" y2=\"384.0\"/>";

INSTANTIATE_TEST_SUITE_P(
    pulses, picture_layout,
    testing::Values(layout_case{"one_byte_entries_only",
                                {0x0A, 0x0A},
                                {full_axis, "<text x=\"770.00\" y=\"402.0\">16</text>"},
                                {longer_label, short_axis}},
                    layout_case{"a_4_byte_entry_of_255_units",
                                {0x0A, 0x0A, 0x00, 0xF8, 0x07, 0x00},
                                {full_axis, "<text x=\"753.83\" y=\"402.0\">250</text>"},
                                {longer_label, short_axis}},
                    layout_case{"a_pulse_of_256_units",
                                {0x0A, 0x0A, 0x00, 0x00, 0x08, 0x00},
                                {short_axis, longer_label, longer_bar, "<text x=\"715.00\" y=\"402.0\">16</text>"},
                                {full_axis}}),
    [](const testing::TestParamInfo<layout_case>& test) { return test.param.name; });

} // namespace
} // namespace velmora

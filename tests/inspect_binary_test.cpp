// Runs the built velmora-inspect as a user would: hand-checked reports of
// three small files in text and JSON, the exit statuses, the SVG picture
// (well-formed, renders at its size) and the example picture of the README.
#include "process_runner.h"
#include "tools/capture_builder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <span>
#include <sys/stat.h>

#include <cstdint>
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

// Path of an installed program, or an empty string.
std::string find_tool(const std::string& tool)
{
    const process_result found = run_process({"/bin/sh", "-c", "command -v " + tool});
    return found.status == 0 ? found.out.substr(0, found.out.find('\n')) : "";
}

// Block 1, period 20: samples 0000 1111 0000 1111 give half waves of 5, 4
// and 4 samples: 13, 10 and 10 units. Block 2, period 100: its first sample
// ends the phase of 4 samples open since block 1 (52 units), then 100
// samples later an edge ends a phase of 100 samples (1300 units, a 4-byte
// entry). Running time 1385 units = 11080 cycles = 0.012495 s.
const bytes clean_capture = capture::ctf_image(
    {capture::block{20, {0x0F, 0x0F}},
     capture::block{100, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0F}}});

// The same, cut after 5 of the 13 sample bytes of block 2 (which start at
// byte 18): the pulses 13, 10, 10 and 52 remain, 85 units = 0.000767 s.
const bytes truncated_capture(clean_capture.begin(), clean_capture.begin() + 18 + 5);

// Entries 13, 10, 10, a 4-byte entry of 0x2820 = 10272 cycles (1284 units)
// and 255, 8 bytes, but a data size field of 10. 12576 cycles = 0.014183 s.
const bytes image_with_wrong_size = {'C', '1', '6', '-', 'T', 'A', 'P', 'E', '-', 'R', 'A', 'W', 2, 2, 0, 0,
                                     10,  0,   0,   0,   0x0D, 0x0A, 0x0A, 0x00, 0x20, 0x28, 0x00, 0xFF};

std::string zero_rows(unsigned first, unsigned last, unsigned width)
{
    std::string rows;
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
                    status_case{"picture_cannot_be_written", {"--svg", "/nonexistent/h.svg", "IN"}, 6, "",
                                "It's impossible to write /nonexistent/h.svg\n"},
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
    ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
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

TEST_F(inspect_binary, a_report_that_cannot_be_written_ends_with_status_6)
{
    const std::string input = write("in.ctf", clean_capture);
    const process_result run = run_process({VELMORA_INSPECT_BINARY, input}, "", "/dev/full");
    EXPECT_EQ(run.status, 6);
    EXPECT_EQ(run.err, "It's impossible to write standard output\n");
}

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

TEST_F(inspect_binary, the_example_report_of_the_readme_and_the_manual_page_is_what_the_program_prints)
{
    const std::string examples = VELMORA_EXAMPLES_DIR;
    const process_result run = inspect({examples + "/demo.ctf"});
    ASSERT_EQ(run.status, 0);
    ASSERT_EQ(run.out.rfind(examples + "/demo.ctf: ", 0), 0U);
    const std::string report = "examples/demo.ctf" + run.out.substr(examples.size() + 9);
    const std::string readme = read_file(examples + "/../README.md");
    EXPECT_EQ(between(readme, "$ velmora-inspect examples/demo.ctf\n", "```"), report)
        << "README.md shows an outdated report";
    // The page escapes its minus signs and backslashes for roff.
    std::string page = between(read_file(examples + "/../doc/velmora-inspect.1.in"),
                               "velmora\\-inspect examples/demo.ctf\n", ".EE");
    for (std::size_t at = page.find('\\'); at != std::string::npos; at = page.find('\\', at + 1)) {
        page.replace(at, 2, page.compare(at, 2, "\\e") == 0 ? "\\" : page.substr(at + 1, 1));
    }
    EXPECT_EQ(page, report) << "doc/velmora-inspect.1.in shows an outdated report";

    // The ROM-format example, whose program the ROM would load wrong.
    const process_result rom_run = inspect({examples + "/hello-rom.ctf"});
    EXPECT_EQ(rom_run.status, 7);
    EXPECT_EQ(between(readme, "$ velmora-inspect examples/hello-rom.ctf\n", "```"),
              "examples/hello-rom.ctf" + rom_run.out.substr(examples.size() + 14))
        << "README.md shows an outdated report of examples/hello-rom.ctf";
}

} // namespace
} // namespace velmora

// velmora-inspect: reports on a CTF capture or a TAP image, as text or JSON,
// and draws its pulse-length histogram as an SVG picture.
#include "inspect/extraction.h"
#include "inspect/inspection.h"
#include "inspect/report.h"
#include "inspect/rom_report.h"

#include "platform/files.h"
#include "platform/output_guard.h"
#include "platform/process.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

// How a run ends; main turns each into its message and exit status.
enum class run_status {
    read_to_the_end,
    wrong_arguments,
    cannot_open_input,       // missing, unreadable, or a directory
    picture_is_input,        // --svg names the input, under whatever name or link
    picture_not_replaceable, // --svg names an existing file that holds no SVG picture
    cannot_open_picture,     // cannot be created, is the file standard output or
                             // standard error writes to, or another run writes it
    ended_early,             // the report of what was read is still printed
    cannot_write,            // standard output, the picture or an extracted file
    file_will_not_load,      // read to its end, but the ROM does not load a file on it intact
};

struct options {
    std::vector<std::string> inputs;
    int version = 2; // as typed: 1 or 2
    bool json = false;
    bool summary = false;
    std::string svg;
    std::string extract;
    bool extract_damaged = false;
    bool force = false;
};

// Of two outcomes of a run over several files, the one its exit status tells.
run_status graver(run_status a, run_status b)
{
    const auto rank = [](run_status status) {
        switch (status) {
        case run_status::read_to_the_end:
            return 0;
        case run_status::file_will_not_load:
            return 1;
        case run_status::ended_early:
            return 2;
        case run_status::cannot_open_input:
            return 3;
        case run_status::wrong_arguments:
            return 4;
        case run_status::picture_is_input:
        case run_status::picture_not_replaceable:
        case run_status::cannot_open_picture:
            return 5;
        case run_status::cannot_write:
            return 6;
        }
        return 6;
    };
    return rank(a) >= rank(b) ? a : b;
}

bool write_all(std::FILE* file, const std::string& text)
{
    return std::fwrite(text.data(), 1, text.size(), file) == text.size();
}

// True if `start`, the first bytes of a file, begin an SVG picture such as
// this program draws: markup (after a byte order mark and white space) with
// an svg element among the bytes shown.
bool holds_svg_picture(std::span<const std::uint8_t> start)
{
    std::string_view text(reinterpret_cast<const char*>(start.data()), start.size());
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    return first != std::string_view::npos && text[first] == '<' && text.find("<svg") != std::string_view::npos;
}

std::string base_name(const std::string& path)
{
#ifdef _WIN32
    const std::size_t slash = path.find_last_of("/\\:");
#else
    const std::size_t slash = path.find_last_of('/');
#endif
    return slash == std::string::npos || slash + 1 == path.size() ? path : path.substr(slash + 1);
}

// Opens the picture's file before the input is read, so that a refusal
// costs no reading.
run_status open_picture(const std::string& path, const velmora::file_identity& input,
                        velmora::guarded_output& picture)
{
    using velmora::output_open_result;
    switch (velmora::open_guarded_output(path.c_str(), input, holds_svg_picture, picture)) {
    case output_open_result::opened:
        return run_status::read_to_the_end;
    case output_open_result::is_input:
        return run_status::picture_is_input;
    case output_open_result::not_replaceable:
        return run_status::picture_not_replaceable;
    case output_open_result::is_standard_stream:
    case output_open_result::held_by_another:
    case output_open_result::path_changed:
    case output_open_result::cannot_open:
        return run_status::cannot_open_picture;
    }
    return run_status::cannot_open_picture;
}

run_status run(const options& chosen, const std::string& input_path, std::span<std::uint8_t> input_buffer,
               std::string& failed_output)
{
    velmora::input_file input{};
    const bool opened = input_path == "-" ? velmora::open_standard_input(input)
                                          : velmora::open_input(input_path.c_str(), input);
    if (!opened) {
        std::fprintf(stderr, "It's impossible to open %s to read\n", input_path.c_str());
        return run_status::cannot_open_input;
    }
    velmora::guarded_output picture{};
    if (!chosen.svg.empty()) {
        if (const run_status refused = open_picture(chosen.svg, input.identity, picture);
            refused != run_status::read_to_the_end) {
            return refused;
        }
    }
    // Large reads straight into the inspection's buffer, which is fixed: a
    // stream buffer would only copy every byte once more.
    std::setvbuf(input.stream.file, nullptr, _IONBF, 0);
    velmora::extraction extracted{chosen.extract, chosen.force, chosen.extract_damaged, input.identity, {}, {}, {}};
    velmora::rom_file_sink sink;
    if (!chosen.extract.empty()) {
        sink = [&extracted](const velmora::rom_file& file, std::span<const std::uint8_t> data) {
            if (extracted.failed.empty()) {
                velmora::extract_file(extracted, file, data);
            }
        };
    }
    const velmora::wave_kind waves =
        chosen.version == 1 ? velmora::wave_kind::full_waves : velmora::wave_kind::half_waves;
    const velmora::inspection result = velmora::inspect_stream(input.stream.file, waves, input_buffer, sink);
    const std::string shown = input_path == "-" ? "standard input" : input_path;
    std::string report;
    if (chosen.summary) {
        report = velmora::summary_line(result, velmora::printable_name(shown)) + "\n";
    } else {
        report = chosen.json ? velmora::json_report(result, shown)
                             : velmora::text_report(result, velmora::printable_name(shown));
    }
    if (!chosen.json) {
        for (const std::string& path : extracted.written) {
            report += "Extracted: " + velmora::printable_name(path) + "\n";
        }
    }
    const bool reported = write_all(stdout, report) && std::fflush(stdout) == 0;
    if (picture.stream != nullptr) {
        const std::string title = input_path == "-" ? shown : base_name(input_path);
        // No picture is kept of a run whose report was lost.
        const bool drawn =
            reported && write_all(picture.stream, velmora::histogram_svg(result, velmora::printable_name(title)));
        if (!velmora::finish_guarded_output(picture, drawn) && reported) {
            failed_output = chosen.svg;
            return run_status::cannot_write;
        }
    }
    if (!reported) {
        failed_output = "standard output";
        return run_status::cannot_write;
    }
    if (!extracted.failed.empty()) {
        failed_output = extracted.failed;
        return run_status::cannot_write;
    }
    if (velmora::ended_early(result)) {
        return run_status::ended_early;
    }
    return velmora::every_file_loads(result) ? run_status::read_to_the_end : run_status::file_will_not_load;
}

run_status run_all(const options& chosen, std::string& failed_output)
{
    if ((!chosen.svg.empty() && chosen.inputs.size() != 1) ||
        ((chosen.extract_damaged || chosen.force) && chosen.extract.empty())) {
        return run_status::wrong_arguments;
    }
    std::vector<std::uint8_t> input_buffer(std::size_t{1} << 18);
    run_status status = run_status::read_to_the_end;
    for (const std::string& input : chosen.inputs) {
        status = graver(status, run(chosen, input, input_buffer, failed_output));
        if (status == run_status::cannot_write) {
            break;
        }
    }
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    // A closed output pipe, or a file size limit, is a failed write
    // (status 6), not a silent death.
    velmora::prepare_process_io();
    CLI::App app{"Reports on a CTF tape capture or a TAP image: what the file is, its\n"
                 "pulses and their histogram, the running time of the tape, and the\n"
                 "problems found.",
                 "velmora-inspect"};
    // "/path" is a file, never an option, on Windows too.
    app.allow_windows_style_options(false);
    options chosen;
    app.add_option("--tap-version", chosen.version,
                   "CTF only: 2 half waves (default), 1 full waves,\nas velmora writes them")
        ->check(CLI::IsMember({1, 2}));
    app.add_flag("--json", chosen.json, "The report as one JSON object, not text");
    app.add_option("--svg", chosen.svg,
                   "Also draw the pulse-length histogram as an SVG\npicture into this file (one FILE only)");
    app.add_flag("--summary", chosen.summary, "One line per FILE: its kind, running time and\nthe files on it with their verdicts");
    app.add_option("--extract", chosen.extract,
                   "Write each program that loads or can be recovered\ninto this folder as NAME.prg (load address, data)")
        ->check(CLI::ExistingDirectory);
    app.add_flag("--extract-damaged", chosen.extract_damaged,
                 "With --extract: also write lost programs, as\nNAME.damaged.prg");
    app.add_flag("--force", chosen.force, "With --extract: replace files that exist (never\nthe input); else names are numbered on");
    app.set_version_flag("--version", "velmora-inspect " VELMORA_VERSION);
    app.add_option("FILE", chosen.inputs, "CTF captures or TAP images; - reads standard input")
        ->required();
    app.footer("Exit status: 0 read to the end (problems are reported, not fatal),\n"
               "1 wrong arguments, 2 the file cannot be opened, 3 the picture's file\n"
               "cannot be opened, is the input, or holds something other than an SVG\n"
               "picture (it is left as it was, nothing is read), 5 it ended early or\n"
               "could not be read (the report of what was read is still printed),\n"
               "6 the report, the picture or an extracted file could not be written\n"
               "(no picture is left), 7 read to the end, but the ROM would not load a\n"
               "file on it intact. With several files, the gravest: 6, 3, 2, 5, 7, 0.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::CallForVersion& e) {
        std::printf("%s\n", e.what());
        return 0;
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "velmora-inspect: %s\nRun with --help for more information.\n", e.what());
        return 1;
    }
    std::string failed_output;
    switch (run_all(chosen, failed_output)) {
    case run_status::read_to_the_end:
        return 0;
    case run_status::wrong_arguments:
        std::fprintf(stderr, "velmora-inspect: --svg takes one FILE; --extract-damaged and --force need --extract\n"
                             "Run with --help for more information.\n");
        return 1;
    case run_status::cannot_open_input:
        return 2;
    case run_status::file_will_not_load:
        return 7;
    case run_status::picture_is_input:
        std::fprintf(stderr, "%s is the input file; the picture is not written over it\n", chosen.svg.c_str());
        return 3;
    case run_status::picture_not_replaceable:
        std::fprintf(stderr, "%s is not an SVG picture; it is left as it was\n", chosen.svg.c_str());
        return 3;
    case run_status::cannot_open_picture:
        std::fprintf(stderr, "It's impossible to open %s to write\n", chosen.svg.c_str());
        return 3;
    case run_status::ended_early:
        return 5;
    case run_status::cannot_write:
        std::fprintf(stderr, "It's impossible to write %s\n", failed_output.c_str());
        return 6;
    }
    return 6;
}

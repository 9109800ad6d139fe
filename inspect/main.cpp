// velmora-inspect: reports on a CTF capture or a TAP image, as text or JSON,
// and draws its pulse-length histogram as an SVG picture.
#include "inspect/inspection.h"
#include "inspect/report.h"

#include "platform/files.h"
#include "platform/output_guard.h"
#include "platform/process.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

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
    cannot_write,            // standard output or the picture
};

struct options {
    std::string input;
    int version = 2; // as typed: 1 or 2
    bool json = false;
    std::string svg;
};

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

// Closes the picture's stream and lets go of the file; what was written is
// discarded unless `written` and the close succeeds. True if kept.
bool finish_picture(velmora::guarded_output& picture, bool written)
{
    const bool closed = std::fclose(picture.stream) == 0;
    picture.stream = nullptr;
    const bool kept = written && closed;
    if (!kept) {
        velmora::discard_unfinished_output(picture);
    }
    velmora::release_output(picture);
    return kept;
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

run_status run(const options& chosen, std::string& failed_output)
{
    velmora::input_file input{};
    const bool opened = chosen.input == "-" ? velmora::open_standard_input(input)
                                            : velmora::open_input(chosen.input.c_str(), input);
    if (!opened) {
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
    static std::uint8_t input_buffer[1 << 18];
    std::setvbuf(input.stream.file, nullptr, _IONBF, 0);
    const velmora::wave_kind waves =
        chosen.version == 1 ? velmora::wave_kind::full_waves : velmora::wave_kind::half_waves;
    const velmora::inspection result = velmora::inspect_stream(input.stream.file, waves, input_buffer);
    const std::string shown = chosen.input == "-" ? "standard input" : chosen.input;
    const std::string report = chosen.json ? velmora::json_report(result, shown)
                                           : velmora::text_report(result, velmora::printable_name(shown));
    const bool reported = write_all(stdout, report) && std::fflush(stdout) == 0;
    if (picture.stream != nullptr) {
        const std::string title = chosen.input == "-" ? shown : base_name(chosen.input);
        // No picture is kept of a run whose report was lost.
        const bool drawn =
            reported && write_all(picture.stream, velmora::histogram_svg(result, velmora::printable_name(title)));
        if (!finish_picture(picture, drawn) && reported) {
            failed_output = chosen.svg;
            return run_status::cannot_write;
        }
    }
    if (!reported) {
        failed_output = "standard output";
        return run_status::cannot_write;
    }
    return velmora::ended_early(result) ? run_status::ended_early : run_status::read_to_the_end;
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
    app.add_option("--svg", chosen.svg, "Also draw the pulse-length histogram as an SVG\npicture into this file");
    app.set_version_flag("--version", "velmora-inspect " VELMORA_VERSION);
    app.add_option("FILE", chosen.input, "CTF capture or TAP image; - reads standard input")
        ->required();
    app.footer("Exit status: 0 read to the end (problems are reported, not fatal),\n"
               "1 wrong arguments, 2 the file cannot be opened, 3 the picture's file\n"
               "cannot be opened, is the input, or holds something other than an SVG\n"
               "picture (it is left as it was, nothing is read), 5 it ended early or\n"
               "could not be read (the report of what was read is still printed),\n"
               "6 the report or the picture could not be written (no picture is left).");
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
    switch (run(chosen, failed_output)) {
    case run_status::read_to_the_end:
        return 0;
    case run_status::wrong_arguments:
        return 1;
    case run_status::cannot_open_input:
        std::fprintf(stderr, "It's impossible to open %s to read\n", chosen.input.c_str());
        return 2;
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

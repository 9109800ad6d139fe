// velmora-inspect: reports on a CTF capture or a TAP image, as text or JSON,
// and draws its pulse-length histogram as an SVG picture.
#include "inspect/inspection.h"
#include "inspect/report.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/stat.h>

namespace {

// How a run ends; main turns each into its message and exit status.
enum class run_status {
    read_to_the_end,
    wrong_arguments,
    cannot_open_input, // missing, unreadable, or a directory
    ended_early,       // the report of what was read is still printed
    cannot_write,      // standard output or the picture
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

bool write_picture(const std::string& path, const std::string& svg)
{
    std::FILE* const file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = write_all(file, svg);
    return std::fclose(file) == 0 && written;
}

std::string base_name(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash + 1 == path.size() ? path : path.substr(slash + 1);
}

// Opens the input, or standard input for "-"; nullptr if it cannot be
// read as a file (a directory among others).
std::FILE* open_input(const std::string& path)
{
    std::FILE* const file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return nullptr;
    }
    struct stat status {};
    if (fstat(fileno(file), &status) != 0 || S_ISDIR(status.st_mode)) {
        if (file != stdin) {
            std::fclose(file);
        }
        return nullptr;
    }
    return file;
}

run_status run(const options& chosen, std::string& failed_output)
{
    std::FILE* const input = open_input(chosen.input);
    if (input == nullptr) {
        return run_status::cannot_open_input;
    }
    // Large reads straight into the inspection's buffer, which is fixed: a
    // stream buffer would only copy every byte once more.
    static std::uint8_t input_buffer[1 << 18];
    std::setvbuf(input, nullptr, _IONBF, 0);
    const velmora::wave_kind waves =
        chosen.version == 1 ? velmora::wave_kind::full_waves : velmora::wave_kind::half_waves;
    const velmora::inspection result = velmora::inspect_stream(input, waves, input_buffer);
    if (input != stdin) {
        std::fclose(input);
    }
    const std::string shown = chosen.input == "-" ? "standard input" : chosen.input;
    const std::string report = chosen.json ? velmora::json_report(result, shown)
                                           : velmora::text_report(result, velmora::printable_name(shown));
    if (!write_all(stdout, report) || std::fflush(stdout) != 0) {
        failed_output = "standard output";
        return run_status::cannot_write;
    }
    if (!chosen.svg.empty()) {
        const std::string title = chosen.input == "-" ? shown : base_name(chosen.input);
        if (!write_picture(chosen.svg, velmora::histogram_svg(result, velmora::printable_name(title)))) {
            failed_output = chosen.svg;
            return run_status::cannot_write;
        }
    }
    return velmora::ended_early(result) ? run_status::ended_early : run_status::read_to_the_end;
}

} // namespace

int main(int argc, char** argv)
{
    // A closed output pipe is a failed write (status 6), not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    CLI::App app{"Reports on a CTF tape capture or a TAP image: what the file is, its\n"
                 "pulses and their histogram, the running time of the tape, and the\n"
                 "problems found.",
                 "velmora-inspect"};
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
               "1 wrong arguments, 2 the file cannot be opened, 5 it ended early or\n"
               "could not be read (the report of what was read is still printed),\n"
               "6 the report or the picture could not be written.");
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
    case run_status::ended_early:
        return 5;
    case run_status::cannot_write:
        std::fprintf(stderr, "It's impossible to write %s\n", failed_output.c_str());
        return 6;
    }
    return 6;
}

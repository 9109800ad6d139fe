#include "inspect/report.h"
#include "inspect/rom_report.h"
#include "inspect/text_output.h"
#include "signal/pulse_measurement.h"
#include "tape_files/ctf_file.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace velmora {
namespace {

constexpr unsigned histogram_rows = 38;
constexpr unsigned bar_columns = 48;

const char* version_meaning(unsigned version)
{
    switch (version) {
    case 0:
        return "one byte a pulse, 0 for an overflow";
    case 1:
        return "full waves";
    case 2:
        return "half waves";
    default:
        return "unknown";
    }
}

const char* platform_name(unsigned platform)
{
    constexpr const char* names[] = {"C64", "VIC-20", "C16 family", "PET", "C5x0", "C6x0/C7x0"};
    return platform < std::size(names) ? names[platform] : "unknown";
}

const char* video_name(unsigned video)
{
    constexpr const char* names[] = {"PAL", "NTSC", "old NTSC", "PAL-N"};
    return video < std::size(names) ? names[video] : "unknown";
}

double block_seconds(const inspection& result, const block_summary& block)
{
    return seconds(result,
                   static_cast<double>(block.sample_bytes) * 8 * sample_cycles(block.sample_period, result.waves));
}

std::string signature_text(const tap_image_header& header)
{
    std::string text;
    for (const char c : header.signature) {
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

// Empty rows of the text histogram that are shown as one row of their span,
// so that the peaks stand close together: as many or more in a row.
constexpr std::size_t min_folded_rows = 3;

// The rows of the text histogram: `width` values a row, from `first`.
struct row_layout {
    unsigned first;
    unsigned last;
    unsigned width;
};

row_layout layout_rows(const pulse_summary& pulses)
{
    unsigned first = 0;
    unsigned last = 0;
    for (unsigned value = 1; value <= histogram_values; ++value) {
        if (pulses.by_value[value] != 0) {
            first = first == 0 ? value : first;
            last = value;
        }
    }
    const unsigned span = last - first + 1;
    const unsigned width = (span + histogram_rows - 1) / histogram_rows;
    // Rows start at multiples of their width, so that their labels are round.
    return row_layout{first - (first - 1) % width, last, width};
}

void append_histogram(std::string& text, const pulse_summary& pulses, const std::vector<peak>& peaks)
{
    if (pulse_count(pulses) == pulses.by_value[0]) {
        text += "Histogram: no pulses\n";
        return;
    }
    std::vector<std::uint64_t> rows;
    row_layout layout{0, 0, 1};
    if (pulse_count(pulses) != pulses.longer + pulses.by_value[0]) {
        layout = layout_rows(pulses);
        for (unsigned start = layout.first; start <= layout.last; start += layout.width) {
            std::uint64_t sum = 0;
            for (unsigned value = start; value < start + layout.width && value <= histogram_values; ++value) {
                sum += pulses.by_value[value];
            }
            rows.push_back(sum);
        }
    }
    const std::uint64_t largest = std::max(pulses.longer, rows.empty() ? 0 : *std::max_element(rows.begin(), rows.end()));
    const auto bar = [largest](std::uint64_t count) {
        const auto columns = static_cast<std::size_t>((count * bar_columns + largest - 1) / largest);
        return std::string(columns, '#') + std::string(bar_columns - columns, ' ');
    };
    if (layout.width == 1) {
        text += "Histogram of pulse lengths in TAP units of 8 cycles (* marks a peak):\n";
    } else {
        append_format(text, "Histogram of pulse lengths in TAP units of 8 cycles, %u a row (* marks a peak):\n",
               layout.width);
    }
    for (std::size_t row = 0; row < rows.size(); ++row) {
        // Empty rows, min_folded_rows or more in a row, are one row of their whole span.
        std::size_t last_row = row;
        while (last_row + 1 < rows.size() && rows[row] == 0 && rows[last_row + 1] == 0) {
            ++last_row;
        }
        last_row = last_row - row + 1 >= min_folded_rows ? last_row : row;
        const auto start = static_cast<unsigned>(layout.first + row * layout.width);
        const unsigned end = std::min(static_cast<unsigned>(layout.first + (last_row + 1) * layout.width - 1), histogram_values);
        const bool has_peak = std::any_of(peaks.begin(), peaks.end(),
                                          [&](const peak& p) { return p.value >= start && p.value <= end; });
        char label[16];
        if (layout.width == 1 && last_row == row) {
            std::snprintf(label, sizeof label, "%7u", start);
        } else {
            std::snprintf(label, sizeof label, "%3u-%3u", start, end);
        }
        append_format(text, "%s %c|%s %" PRIu64 "\n", label, has_peak ? '*' : ' ', bar(rows[row]).c_str(), rows[row]);
        row = last_row;
    }
    if (pulses.longer != 0) {
        append_format(text, "   >255  |%s %" PRIu64 "\n", bar(pulses.longer).c_str(), pulses.longer);
    }
}

// The peaks shown: the S, M and L waves where the ROM format is found, else
// the histogram's own.
std::vector<peak> shown_peaks(const inspection& result)
{
    const std::vector<rom_peak> waves = rom_peaks(result);
    if (waves.empty()) {
        return find_peaks(result.pulses);
    }
    std::vector<peak> peaks;
    for (const rom_peak& each : waves) {
        peaks.push_back(peak{each.value, result.pulses.by_value[each.value]});
    }
    return peaks;
}

// Under the running time of a capture, where it differs at the millisecond
// shown from the blocks' times added up, a line that says why: the blocks
// count every sample, the running time sums the pulses as velmora writes them.
void append_time_difference(std::string& text, const inspection& result)
{
    if (result.kind != file_kind::ctf_capture || result.blocks.empty()) {
        return;
    }
    double blocks = 0;
    bool periods_change = false;
    for (const block_summary& block : result.blocks) {
        blocks += block_seconds(result, block);
        periods_change = periods_change || block.sample_period != result.blocks.front().sample_period;
    }
    char blocks_text[32];
    char running_text[32];
    std::snprintf(blocks_text, sizeof blocks_text, "%.3f", blocks);
    std::snprintf(running_text, sizeof running_text, "%.3f",
                  seconds(result, static_cast<double>(total_cycles(result.pulses))));
    if (std::string(blocks_text) == running_text) {
        return;
    }
    append_format(text, "  (the blocks' %s s count every sample; the running time sums the pulses: each rounded to "
                        "8 cycles,%s%s none for the samples after the last edge)\n",
                  blocks_text, result.waves == wave_kind::full_waves ? " a full wave twice its low phase," : "",
                  periods_change ? " one across two blocks timed at the later block's period," : "");
}

std::vector<std::string> all_problems(const inspection& result)
{
    std::vector<std::string> problems = find_problems(result);
    const std::vector<std::string> rom = rom_problem_lines(result);
    problems.insert(problems.end(), rom.begin(), rom.end());
    return problems;
}

} // namespace

std::string text_report(const inspection& result, const std::string& name)
{
    std::string text;
    const pulse_summary& pulses = result.pulses;
    if (result.kind == file_kind::tap_image) {
        if (is_c64_image(result)) {
            append_format(text, "%s: TAP image of the C64, timed at its %s clock of %" PRIu32 " cycles a second\n",
                          name.c_str(), clock_name(result).substr(4).c_str(), result.clock);
        } else {
            append_format(text, "%s: TAP image\n", name.c_str());
        }
        if (result.cut != cut_place::tap_header) {
            const tap_image_header& header = result.header;
            append_format(text, "Signature: %s, version %u (%s)\n", signature_text(header).c_str(), header.version,
                   version_meaning(header.version));
            append_format(text, "Platform: %u (%s), video standard: %u (%s)\n", header.platform,
                   platform_name(header.platform), header.video_standard, video_name(header.video_standard));
            append_format(text, "Data size field: %" PRIu32 " bytes; %" PRIu64 " bytes follow the header (%s)\n",
                   header.data_size, result.data_bytes, header.data_size == result.data_bytes ? "matches" : "differs");
        }
    } else {
        append_format(text, "%s: CTF capture, measured as TAP version %u (%s)\n", name.c_str(),
               unsigned{tap_version(result.waves)}, version_meaning(tap_version(result.waves)));
        if (result.cut != cut_place::ctf_header) {
            append_format(text, "Blocks: %" PRId32 " (block count field %" PRId32 ")\n",
                   ctf_block_count(ctf_header{result.block_count_field}), result.block_count_field);
        }
        if (!result.blocks.empty()) {
            text += "  block  period  sample bytes     samples       edges   time (s)\n";
        }
        for (const block_summary& block : result.blocks) {
            append_format(text, "%7" PRId32 " %7u %13" PRIu64 " %11" PRIu64 " %11" PRIu64 " %10.3f\n", block.number,
                   block.sample_period, block.sample_bytes, block.sample_bytes * 8, block.edges,
                   block_seconds(result, block));
        }
    }
    const std::uint64_t count = pulse_count(pulses);
    const unsigned shortest = shortest_value(pulses);
    const std::uint64_t longest = longest_cycles(pulses);
    append_format(text, "Pulses: %" PRIu64, count);
    if (count != pulses.by_value[0]) {
        append_format(text, ", shortest %u units (%.1f us), longest %" PRIu64 " units (%.1f us)", shortest,
               microseconds(result, shortest * double{cycles_per_tap_unit}), longest / cycles_per_tap_unit,
               microseconds(result, static_cast<double>(longest)));
    }
    text += "\n";
    append_format(text, "Pulses in 4-byte entries: %" PRIu64 "\n", pulses.long_entries);
    append_format(text, "Pauses (0.25 s or more): %" PRIu64 ", %.3f s in all\n", pulses.pauses,
           seconds(result, static_cast<double>(pulses.pause_cycles)));
    append_pause_lines(text, result);
    append_format(text, "Zero-length pulses: %" PRIu64 ", clamped pulses: %" PRIu64 "\n", zero_length_pulses(result),
           pulses.clamped);
    if (result.kind == file_kind::ctf_capture && result.waves == wave_kind::full_waves) {
        append_format(text, "Asymmetric waves: %" PRIu64 " (velmora %s recommend TAP version 2)\n", result.asymmetric_waves,
               advisory_due(result) ? "would" : "would not");
    }
    append_format(text, "Running time: %.3f s (%s clock, %" PRIu32 " cycles a second)\n",
                  seconds(result, static_cast<double>(total_cycles(pulses))), clock_name(result).c_str(), result.clock);
    append_time_difference(text, result);
    const std::vector<rom_peak> wave_peaks = rom_peaks(result);
    const std::vector<peak> peaks = shown_peaks(result);
    append_histogram(text, pulses, peaks);
    if (!wave_peaks.empty()) {
        text += "Peaks of the ROM loader's waves:\n  wave  value       count   length (us)   spread (us)\n";
        for (const rom_peak& p : wave_peaks) {
            append_format(text, "  %-4s %5u %11" PRIu64 " %13.1f %13.1f\n", p.name, p.value, p.count, p.microseconds,
                          p.spread_us);
        }
    } else if (!peaks.empty()) {
        text += "Peaks:\n  value       count   length (us)\n";
        for (const peak& p : peaks) {
            append_format(text, "%7u %11" PRIu64 " %13.1f\n", p.value, p.count,
                   microseconds(result, p.value * double{cycles_per_tap_unit}));
        }
    }
    append_rom_text(text, result);
    const std::vector<std::string> problems = all_problems(result);
    text += problems.empty() ? "Problems: none\n" : "Problems:\n";
    for (const std::string& problem : problems) {
        text += "  " + problem + "\n";
    }
    return text;
}

std::string printable_name(const std::string& name)
{
    // The library's serializer replaces what is not UTF-8; parsing its
    // output back gives the repaired string.
    const std::string quoted = nlohmann::json(name).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::string repaired = nlohmann::json::parse(quoted).get<std::string>();
    for (char& c : repaired) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '?';
        }
    }
    return repaired;
}

std::string json_report(const inspection& result, const std::string& name)
{
    using json = nlohmann::ordered_json;
    const pulse_summary& pulses = result.pulses;
    json report;
    report["file"] = name;
    report["kind"] = result.kind == file_kind::tap_image ? "tap" : "ctf";
    report["complete"] = !ended_early(result);
    report["bytes_read"] = result.bytes_read;
    if (result.kind == file_kind::tap_image) {
        json tap = nullptr;
        if (result.cut != cut_place::tap_header) {
            const tap_image_header& header = result.header;
            tap = json{{"signature", signature_text(header)},
                       {"version", header.version},
                       {"version_meaning", version_meaning(header.version)},
                       {"platform", header.platform},
                       {"platform_name", platform_name(header.platform)},
                       {"video_standard", header.video_standard},
                       {"video_standard_name", video_name(header.video_standard)},
                       {"data_size_field", header.data_size},
                       {"data_bytes", result.data_bytes},
                       {"data_size_matches", header.data_size == result.data_bytes}};
        }
        report["tap"] = tap;
    } else {
        json blocks = json::array();
        for (const block_summary& block : result.blocks) {
            blocks.push_back(json{{"number", block.number},
                                  {"sample_period", block.sample_period},
                                  {"sample_bytes", block.sample_bytes},
                                  {"samples", block.sample_bytes * 8},
                                  {"edges", block.edges},
                                  {"pulses", block.pulses},
                                  {"running_time_s", block_seconds(result, block)}});
        }
        json ctf{{"tap_version", tap_version(result.waves)},
                 {"block_count_field", result.cut == cut_place::ctf_header ? json(nullptr)
                                                                            : json(result.block_count_field)},
                 {"blocks", blocks}};
        if (result.waves == wave_kind::full_waves) {
            ctf["asymmetric_waves"] = result.asymmetric_waves;
            ctf["advisory"] = advisory_due(result);
        }
        report["ctf"] = ctf;
    }
    const std::uint64_t count = pulse_count(pulses);
    report["pulses"] = json{{"count", count},
                            {"shortest", shortest_value(pulses)},
                            {"longest", longest_cycles(pulses) / cycles_per_tap_unit},
                            {"long", pulses.long_entries},
                            {"pauses", pulses.pauses},
                            {"pause_time_s", seconds(result, static_cast<double>(pulses.pause_cycles))},
                            {"pause_places", pauses_json(result)},
                            {"pauses_not_listed", result.rom.pauses_dropped},
                            {"zero_length", zero_length_pulses(result)},
                            {"clamped", pulses.clamped}};
    report["running_time_s"] = seconds(result, static_cast<double>(total_cycles(pulses)));
    report["clock_hz"] = result.clock;
    report["histogram"] = json{{"counts", std::vector<std::uint64_t>(pulses.by_value + 1,
                                                                     pulses.by_value + histogram_values + 1)},
                               {"longer", pulses.longer}};
    json peaks = json::array();
    for (const peak& p : find_peaks(pulses)) {
        peaks.push_back(json{{"value", p.value},
                             {"count", p.count},
                             {"microseconds", microseconds(result, p.value * double{cycles_per_tap_unit})}});
    }
    report["peaks"] = peaks;
    report["problems"] = all_problems(result);
    add_rom_json(report, result);
    return report.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

} // namespace velmora

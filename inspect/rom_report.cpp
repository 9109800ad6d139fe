#include "inspect/rom_report.h"
#include "inspect/text_output.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace velmora {
namespace {

// Histogram units of a half wave of `cycles`: full-wave pulses are twice as long.
double units_of(const inspection& result, std::uint32_t half_cycles)
{
    const double factor = result.rom_kind == wave_kind::full_waves ? 2.0 : 1.0;
    return factor * half_cycles / cycles_per_tap_unit;
}

std::string hex4(std::uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "$%04X", value);
    return text;
}

std::string hex2(std::uint8_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "$%02X", value);
    return text;
}

std::string copy_line(const inspection& result, const rom_copy& copy, const char* role)
{
    if (!copy.present) {
        return std::string(role) + ": missing";
    }
    std::string line = std::string(role) + " at " + place_text(result, copy.start) + ": checksum " +
                       hex2(copy.checksum_read) + " read, " + hex2(copy.checksum_found) + " found, " +
                       std::to_string(copy.bad_bytes) + " bad bytes";
    if (copy.bad_bytes != 0) {
        line += " (first: byte " + std::to_string(copy.first_bad) + ")";
    }
    if (copy.spread_percent > rom_tolerated_spread_percent) {
        char spread[48];
        std::snprintf(spread, sizeof spread, ", short waves spread %.1f %%", copy.spread_percent);
        line += spread;
    }
    if (copy.cut) {
        line += ", cut";
    }
    if (copy.turned) {
        line += ", polarity turned";
    }
    return line;
}

nlohmann::ordered_json copy_json(const inspection& result, const rom_copy& copy)
{
    if (!copy.present) {
        return nullptr;
    }
    return nlohmann::ordered_json{{"place", place_json(result, copy.start)},
                                  {"end", place_json(result, copy.end)},
                                  {"bytes", copy.bytes},
                                  {"checksum_read", copy.checksum_read},
                                  {"checksum_found", copy.checksum_found},
                                  {"bad_bytes", copy.bad_bytes},
                                  {"first_bad_byte", copy.bad_bytes == 0 ? nlohmann::ordered_json(nullptr)
                                                                         : nlohmann::ordered_json(copy.first_bad)},
                                  {"cut", copy.cut},
                                  {"short_wave_spread_percent", copy.spread_percent},
                                  {"polarity_turned", copy.turned}};
}

nlohmann::ordered_json block_json(const inspection& result, const rom_block& block)
{
    nlohmann::ordered_json copies = nlohmann::ordered_json::array();
    copies.push_back(copy_json(result, block.copies[0]));
    copies.push_back(copy_json(result, block.copies[1]));
    return nlohmann::ordered_json{{"size", block.size},
                                  {"verdict", verdict_word(block.verdict)},
                                  {"why", block.why},
                                  {"mended_bytes", block.mended_bytes},
                                  {"copies", copies}};
}

const char* problem_kind_word(rom_problem_kind kind)
{
    switch (kind) {
    case rom_problem_kind::glitch:
        return "glitch";
    case rom_problem_kind::dropout:
        return "dropout";
    case rom_problem_kind::unreadable:
        return "unreadable";
    case rom_problem_kind::parity:
        return "parity";
    case rom_problem_kind::checksum:
        return "checksum";
    case rom_problem_kind::length:
        return "length";
    case rom_problem_kind::missing:
        return "missing";
    case rom_problem_kind::polarity:
        return "polarity";
    case rom_problem_kind::cut:
        return "cut";
    }
    return "unknown";
}

std::string file_title(const rom_file& file)
{
    if (!file.has_header) {
        return "(no header)";
    }
    std::string title = "\"";
    title += petscii_name(file.name);
    title += "\" (";
    title += file_type_name(file.type);
    if (file.has_data) {
        title += ", " + hex4(file.start) + "-" + hex4(file.end) + ", " + std::to_string(file.data.size) + " bytes";
    }
    return title + ")";
}

} // namespace

nlohmann::ordered_json place_json(const inspection& result, const tape_place& place)
{
    nlohmann::ordered_json json{{"time_s", seconds(result, static_cast<double>(place.cycles))}};
    if (result.kind == file_kind::tap_image) {
        json["offset"] = place.offset;
    } else {
        json["block"] = place.block;
        json["sample"] = place.sample;
    }
    return json;
}

void append_pause_lines(std::string& text, const inspection& result)
{
    for (const tape_pause& pause : result.rom.pauses) {
        append_format(text, "  at %s: %.3f s\n", place_text(result, pause.place).c_str(),
                      seconds(result, static_cast<double>(pause.cycles)));
    }
    if (result.rom.pauses_dropped != 0) {
        append_format(text, "  and %" PRIu64 " more\n", result.rom.pauses_dropped);
    }
}

nlohmann::ordered_json pauses_json(const inspection& result)
{
    nlohmann::ordered_json pauses = nlohmann::ordered_json::array();
    for (const tape_pause& pause : result.rom.pauses) {
        pauses.push_back(nlohmann::ordered_json{{"place", place_json(result, pause.place)},
                                                {"length_s", seconds(result, static_cast<double>(pause.cycles))}});
    }
    return pauses;
}

std::vector<rom_peak> rom_peaks(const inspection& result)
{
    std::vector<rom_peak> peaks;
    if (!result.rom.found) {
        return peaks;
    }
    const rom_wave_classes& c = result.rom.classes;
    const double bounds[4] = {units_of(result, c.glitch_below), units_of(result, c.medium_from),
                              units_of(result, c.long_from), units_of(result, c.dropout_from)};
    constexpr const char* names[3] = {"S", "M", "L"};
    for (unsigned which = 0; which < 3; ++which) {
        rom_peak p{names[which], 0, 0, 0, 0};
        std::uint64_t fullest = 0;
        double sum = 0;
        double squares = 0;
        for (unsigned value = 1; value <= histogram_values; ++value) {
            if (value < bounds[which] || value >= bounds[which + 1]) {
                continue;
            }
            const std::uint64_t count = result.pulses.by_value[value];
            p.count += count;
            sum += static_cast<double>(count) * value;
            squares += static_cast<double>(count) * value * value;
            if (count > fullest) {
                fullest = count;
                p.value = value;
            }
        }
        if (p.count != 0) {
            const double mean = sum / static_cast<double>(p.count);
            const double variance = std::max(0.0, squares / static_cast<double>(p.count) - mean * mean);
            p.microseconds = microseconds(result, p.value * double{cycles_per_tap_unit});
            p.spread_us = microseconds(result, std::sqrt(variance) * cycles_per_tap_unit);
            peaks.push_back(p);
        }
    }
    return peaks;
}

double rom_format_percent(const inspection& result)
{
    const std::uint64_t total = result.rom.total_cycles;
    return total == 0 ? 0.0 : 100.0 * static_cast<double>(result.rom.format_cycles) / static_cast<double>(total);
}

std::string place_text(const inspection& result, const tape_place& place)
{
    char text[96];
    if (result.kind == file_kind::tap_image) {
        std::snprintf(text, sizeof text, "%.3f s (byte %" PRIu64 ")", seconds(result, static_cast<double>(place.cycles)),
                      place.offset);
    } else {
        std::snprintf(text, sizeof text, "%.3f s (block %" PRId32 ", sample %" PRIu64 ")",
                      seconds(result, static_cast<double>(place.cycles)), place.block, place.sample);
    }
    return text;
}

void append_rom_text(std::string& text, const inspection& result)
{
    if (!result.rom.found) {
        return;
    }
    append_format(text, "ROM tape format: %.1f %% of the running time\n", rom_format_percent(result));
    append_format(text, "Files: %zu\n", result.rom.files.size());
    for (std::size_t i = 0; i < result.rom.files.size(); ++i) {
        const rom_file& file = result.rom.files[i];
        append_format(text, "%3zu %s: %s\n", i + 1, file_title(file).c_str(), verdict_word(file.verdict));
        if (!file.why.empty()) {
            text += "      " + file.why + "\n";
        }
        const auto block_lines = [&](const char* label, const rom_block& block) {
            append_format(text, "      %-6s %s\n", label, copy_line(result, block.copies[0], "first copy").c_str());
            append_format(text, "      %-6s %s\n", "", copy_line(result, block.copies[1], "repeat").c_str());
            if (block.mended_bytes != 0) {
                append_format(text, "      %-6s the repeat mends %zu byte%s of the first copy (first: byte %zu)\n", "",
                              block.mended_bytes, block.mended_bytes == 1 ? "" : "s", block.mended_first);
            }
        };
        block_lines("header", file.header);
        if (file.has_data) {
            block_lines("data", file.data);
        }
    }
}

std::vector<std::string> rom_problem_lines(const inspection& result)
{
    std::vector<std::string> lines;
    for (const rom_problem& problem : result.rom.problems) {
        lines.push_back("at " + place_text(result, problem.place) + ": " + problem.text);
    }
    if (result.rom.problems_dropped != 0) {
        lines.push_back("and " + std::to_string(result.rom.problems_dropped) + " more problems of the ROM format");
    }
    return lines;
}

void add_rom_json(nlohmann::ordered_json& report, const inspection& result)
{
    using json = nlohmann::ordered_json;
    json peaks = json::array();
    for (const rom_peak& p : rom_peaks(result)) {
        peaks.push_back(json{{"wave", p.name},
                             {"value", p.value},
                             {"count", p.count},
                             {"microseconds", p.microseconds},
                             {"spread_us", p.spread_us}});
    }
    json problems = json::array();
    for (const rom_problem& problem : result.rom.problems) {
        problems.push_back(json{{"kind", problem_kind_word(problem.kind)},
                                {"place", place_json(result, problem.place)},
                                {"text", problem.text}});
    }
    report["rom_tape"] = json{{"found", result.rom.found},
                              {"format_percent", rom_format_percent(result)},
                              {"peaks", peaks},
                              {"problems", problems},
                              {"problems_not_listed", result.rom.problems_dropped}};
    json files = json::array();
    for (const rom_file& file : result.rom.files) {
        json entry{{"name", file.has_header ? json(petscii_name(file.name)) : json(nullptr)},
                   {"type", file.type},
                   {"type_name", file.has_header ? file_type_name(file.type) : "none"},
                   {"start", file.start},
                   {"end", file.end},
                   {"size", file.has_data ? file.data.size : 0},
                   {"verdict", verdict_word(file.verdict)},
                   {"why", file.why},
                   {"header", block_json(result, file.header)},
                   {"data", file.has_data ? block_json(result, file.data) : json(nullptr)}};
        files.push_back(entry);
    }
    report["files"] = files;
}

bool every_file_loads(const inspection& result)
{
    return std::all_of(result.rom.files.begin(), result.rom.files.end(),
                       [](const rom_file& file) { return file.verdict == rom_verdict::loads; });
}

std::string summary_line(const inspection& result, const std::string& name)
{
    std::string line = name + (is_c64_image(result)                     ? ": TAP image of the C64"
                               : result.kind == file_kind::tap_image ? ": TAP image"
                                                                     : ": CTF capture");
    append_format(line, ", %.3f s", seconds(result, static_cast<double>(total_cycles(result.pulses))));
    if (ended_early(result)) {
        line += ", ends early";
    }
    const std::vector<rom_file>& files = result.rom.files;
    if (files.empty()) {
        return line + ", no file of the ROM format";
    }
    append_format(line, ", %zu file%s:", files.size(), files.size() == 1 ? "" : "s");
    for (std::size_t i = 0; i < files.size(); ++i) {
        line += (i == 0 ? " " : ", ") + file_title(files[i]) + " " + verdict_word(files[i].verdict);
    }
    return line;
}

} // namespace velmora

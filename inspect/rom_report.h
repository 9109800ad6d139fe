// The ROM loader's format in the inspector's report: its waves' peaks, the
// files with their copies and verdicts, and the problems with their places.
#ifndef VELMORA_INSPECT_ROM_REPORT_H
#define VELMORA_INSPECT_ROM_REPORT_H

#include "inspect/inspection.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace velmora {

// One of the format's three waves as the histogram shows it.
struct rom_peak {
    const char* name;      // "S", "M", "L"
    unsigned value;        // fullest value within the wave's bounds, in TAP units
    std::uint64_t count;   // pulses within its bounds
    double microseconds;   // of `value`
    double spread_us;      // standard deviation of the pulses within its bounds
};

// The S, M and L peaks, if the format was found (else none). Pulses are half
// waves or full waves as the histogram holds them.
std::vector<rom_peak> rom_peaks(const inspection& result);

// Percentage of the running time that the format's leaders and bytes take.
double rom_format_percent(const inspection& result);

// "11.629 s (byte 12345)" for an image, "11.629 s (block 1, sample 123456)" for a capture.
std::string place_text(const inspection& result, const tape_place& place);

// A place as JSON: "time_s", and "offset" for an image, "block" and "sample" for a capture.
nlohmann::ordered_json place_json(const inspection& result, const tape_place& place);

// The pauses with their places, one line each (ending with a line end).
void append_pause_lines(std::string& text, const inspection& result);
// The same as a JSON array.
nlohmann::ordered_json pauses_json(const inspection& result);

// The text report's lines on the format (ending with a line end), nothing if not found.
void append_rom_text(std::string& text, const inspection& result);

// The problems the decoder found, one line each with its place first.
std::vector<std::string> rom_problem_lines(const inspection& result);

// Adds "rom_tape" and "files" to a JSON report.
void add_rom_json(nlohmann::ordered_json& report, const inspection& result);

// True if the ROM loads every file found intact.
bool every_file_loads(const inspection& result);

// One line for `name`, without a line end: kind, running time, and the files
// found with their verdicts.
std::string summary_line(const inspection& result, const std::string& name);

} // namespace velmora

#endif

// The three forms of an inspection's report: text for a person, one JSON
// object for programs, and the pulse-length histogram as an SVG picture.
#ifndef VELMORA_INSPECT_REPORT_H
#define VELMORA_INSPECT_REPORT_H

#include "inspect/inspection.h"

#include <string>

namespace velmora {

// Size of the SVG picture, in pixels.
inline constexpr int svg_width = 800;
inline constexpr int svg_height = 440;

// The report as lines of at most 80 columns (but for the file name),
// ending with a line end; `name` is the file name shown.
std::string text_report(const inspection& result, const std::string& name);

// The report as one JSON object and a line end; its keys are listed in the
// manual page. Bytes of `name` that are not UTF-8 become U+FFFD.
std::string json_report(const inspection& result, const std::string& name);

// A self-contained SVG picture of the histogram: bars per value with axes
// in TAP units and microseconds, the peaks marked and labelled, and a title
// with `name` and the totals.
std::string histogram_svg(const inspection& result, const std::string& name);

// `name` with every byte sequence that is not UTF-8 replaced by U+FFFD and
// every control character by '?', so that it can stand in XML and JSON.
std::string printable_name(const std::string& name);

} // namespace velmora

#endif

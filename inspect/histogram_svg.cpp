#include "inspect/report.h"
#include "inspect/rom_report.h"
#include "inspect/text_output.h"

#ifdef VELMORA_WITH_PUGIXML
#include <pugixml.hpp>
#endif

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace velmora {
namespace {

// The plot area, in pixels; the bar of the pulses above 255 units, when
// there are any, stands apart at the right.
constexpr double plot_left = 80;
constexpr double plot_right = 770;
constexpr double values_right_with_longer = 715;
constexpr double plot_top = 104;
constexpr double plot_bottom = 384;
constexpr const char* font = "font-family=\"DejaVu Sans, Verdana, Arial, sans-serif\"";
constexpr const char* bar_colour = "#3f74b5";
constexpr const char* peak_colour = "#c0392b";

#ifdef VELMORA_WITH_PUGIXML
// Collects what pugixml writes.
struct string_writer : pugi::xml_writer {
    std::string text;
    void write(const void* data, std::size_t size) override
    {
        text.append(static_cast<const char*>(data), size);
    }
};

// Text for an XML element, escaped by pugixml. `text` must already be valid
// UTF-8 without control characters (see printable_name).
std::string xml_text(const std::string& text)
{
    pugi::xml_document document;
    document.append_child(pugi::node_pcdata).set_value(text.c_str());
    string_writer writer;
    document.print(writer, "", pugi::format_raw | pugi::format_no_declaration);
    return writer.text;
}
#else
// Text for an XML element in a build without pugixml (the Windows one,
// the browser's): each character XML reserves becomes '?', as control
// characters already have (see printable_name), so nothing needs escaping.
std::string xml_text(std::string text)
{
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '<' || c == '>' || c == '&' || c == '"' || c == '\''; },
        '?');
    return text;
}
#endif

// The smallest step of 1, 2, 2.5 or 5 times a power of ten that cuts
// `span` into at most `ticks` pieces.
double tick_step(double span, double ticks)
{
    double scale = 1;
    while (scale * 10 < span / ticks) {
        scale *= 10;
    }
    for (;;) {
        for (const double factor : {1.0, 2.0, 2.5, 5.0}) {
            if (span / (scale * factor) <= ticks) {
                return scale * factor;
            }
        }
        scale *= 10;
    }
}

// A count for an axis label: in full below a million, else in millions.
std::string count_label(double count)
{
    char text[32];
    if (count < 1e6) {
        std::snprintf(text, sizeof text, "%.0f", count);
    } else {
        std::snprintf(text, sizeof text, "%gM", count / 1e6);
    }
    return text;
}

std::string grouped(std::uint64_t number)
{
    const std::string digits = std::to_string(number);
    std::string text;
    for (std::size_t at = 0; at < digits.size(); ++at) {
        if (at != 0 && (digits.size() - at) % 3 == 0) {
            text.push_back(',');
        }
        text.push_back(digits[at]);
    }
    return text;
}

} // namespace

std::string histogram_svg(const inspection& result, const std::string& name)
{
    const pulse_summary& pulses = result.pulses;
    const std::uint64_t* const count = pulses.by_value;
    unsigned highest = 0;
    for (unsigned value = 1; value <= histogram_values; ++value) {
        highest = count[value] != 0 ? value : highest;
    }
    const bool has_longer = pulses.longer != 0;
    const double values_right = has_longer ? values_right_with_longer : plot_right;
    // Units on the x axis run from 0 to a whole number of ticks past the
    // longest value shown.
    const double unit_step = tick_step(std::max(highest + 1, 16U), 12);
    const double units_end = std::min(256.0, std::ceil((highest + 1) / unit_step) * unit_step);
    const double x_end = std::max(units_end, 16.0);
    const auto x_of = [&](double units) { return plot_left + units / x_end * (values_right - plot_left); };

    std::uint64_t largest = pulses.longer;
    for (unsigned value = 1; value <= histogram_values; ++value) {
        largest = std::max(largest, count[value]);
    }
    // A logarithmic count axis, so that a single glitch and the loader's long
    // pulses show beside the thousands of short ones: whole decades, with
    // room above the highest bar for the labels of the peaks.
    const double count_end = std::pow(10.0, std::ceil(std::log10(std::max(10.0, static_cast<double>(largest) * 4))));
    const auto y_of = [&](double pulse_count) {
        return plot_bottom - std::log10(1 + pulse_count) / std::log10(1 + count_end) * (plot_bottom - plot_top);
    };

    std::string svg;
    append_format(svg,
           "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\">\n",
           svg_width, svg_height, svg_width, svg_height);
    append_format(svg, "<rect x=\"0\" y=\"0\" width=\"%d\" height=\"%d\" fill=\"white\"/>\n", svg_width, svg_height);

    const std::string kind = result.kind == file_kind::tap_image
                                 ? "TAP image, version " + std::to_string(result.header.version)
                                 : "CTF capture measured as TAP version " + std::to_string(unsigned{tap_version(result.waves)});
    std::vector<peak> peaks = find_peaks(pulses);
    const std::vector<rom_peak> waves = rom_peaks(result);
    if (!waves.empty()) {
        peaks.clear();
        for (const rom_peak& each : waves) {
            peaks.push_back(peak{each.value, count[each.value]});
        }
    }
    append_format(svg, "<text x=\"%d\" y=\"26\" text-anchor=\"middle\" font-size=\"17\" font-weight=\"bold\" %s>%s</text>\n",
           svg_width / 2, font, xml_text("Pulse lengths of " + name).c_str());
    append_format(svg, "<text x=\"%d\" y=\"47\" text-anchor=\"middle\" font-size=\"13\" %s>%s: %s pulses, %s in 4-byte entries, "
                "%.2f s, %zu peak%s</text>\n",
           svg_width / 2, font, xml_text(kind).c_str(), grouped(pulse_count(pulses)).c_str(),
           grouped(pulses.long_entries).c_str(), seconds(result, static_cast<double>(total_cycles(pulses))), peaks.size(),
           peaks.size() == 1 ? "" : "s");

    // The loader's bands: where the decoder takes a pulse as a short, medium
    // or long wave.
    if (!waves.empty()) {
        const rom_wave_classes& c = result.rom.classes;
        const double unit_cycles = result.rom_kind == wave_kind::full_waves ? 4.0 : 8.0;
        const double bounds[4] = {c.glitch_below / unit_cycles, c.medium_from / unit_cycles, c.long_from / unit_cycles,
                                  c.dropout_from / unit_cycles};
        constexpr const char* band_colours[3] = {"#eaf2e3", "#fdf2dc", "#f6e3ea"};
        constexpr const char* band_names[3] = {"S", "M", "L"};
        for (unsigned band = 0; band < 3; ++band) {
            const double left = x_of(std::min(bounds[band], x_end) - 0.5);
            const double right = x_of(std::min(bounds[band + 1], x_end) - 0.5);
            if (right <= left) {
                continue;
            }
            append_format(svg, "<rect x=\"%.2f\" y=\"%.1f\" width=\"%.2f\" height=\"%.1f\" fill=\"%s\"/>\n", left,
                          plot_top, right - left, plot_bottom - plot_top, band_colours[band]);
            append_format(svg, "<text x=\"%.2f\" y=\"%.1f\" text-anchor=\"middle\" font-size=\"12\" fill=\"#777777\" %s>%s</text>\n",
                          (left + right) / 2, plot_top + 16, font, band_names[band]);
        }
    }

    // Grid and count axis: a line and a label at each decade.
    svg += "<g stroke=\"#dddddd\" stroke-width=\"1\">\n";
    for (double tick = 1; tick <= count_end * 1.01; tick *= 10) {
        append_format(svg, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", plot_left, y_of(tick), plot_right,
               y_of(tick));
    }
    svg += "</g>\n";
    append_format(svg, "<g font-size=\"11\" text-anchor=\"end\" %s>\n", font);
    append_format(svg, "<text x=\"%.1f\" y=\"%.1f\">0</text>\n", plot_left - 6, y_of(0) + 4);
    for (double tick = 1; tick <= count_end * 1.01; tick *= 10) {
        append_format(svg, "<text x=\"%.1f\" y=\"%.1f\">%s</text>\n", plot_left - 6, y_of(tick) + 4,
               count_label(tick).c_str());
    }
    svg += "</g>\n";
    append_format(svg, "<text transform=\"translate(18 %.1f) rotate(-90)\" text-anchor=\"middle\" font-size=\"12\" %s>"
                "pulses (logarithmic)</text>\n",
           (plot_top + plot_bottom) / 2, font);

    // Bars: one per value, from half a unit below it to half a unit above.
    const double bar_width = std::max(1.0, x_of(1) - x_of(0) - (x_end <= 64 ? 1.0 : 0.0));
    append_format(svg, "<g fill=\"%s\">\n", bar_colour);
    for (unsigned value = 1; value <= highest; ++value) {
        if (count[value] != 0) {
            const double top = y_of(static_cast<double>(count[value]));
            append_format(svg, "<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\"/>\n", x_of(value) - bar_width / 2,
                   top, bar_width, std::max(0.5, plot_bottom - top));
        }
    }
    if (has_longer) {
        const double top = y_of(static_cast<double>(pulses.longer));
        append_format(svg, "<rect x=\"%.1f\" y=\"%.2f\" width=\"30\" height=\"%.2f\"/>\n", plot_right - 40, top,
               std::max(0.5, plot_bottom - top));
    }
    svg += "</g>\n";

    // Unit axis below, microsecond axis above.
    append_format(svg, "<g stroke=\"black\" stroke-width=\"1\">\n");
    append_format(svg, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", plot_left, plot_bottom, values_right,
           plot_bottom);
    append_format(svg, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", plot_left, plot_top, values_right,
           plot_top);
    append_format(svg, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", plot_left, plot_top, plot_left,
           plot_bottom);
    for (double tick = 0; tick <= x_end + unit_step / 2; tick += unit_step) {
        append_format(svg, "<line x1=\"%.2f\" y1=\"%.1f\" x2=\"%.2f\" y2=\"%.1f\"/>\n", x_of(tick), plot_bottom, x_of(tick),
               plot_bottom + 5);
    }
    const double us_per_unit = microseconds(result, cycles_per_tap_unit);
    const double us_step = tick_step(x_end * us_per_unit, 10);
    for (double tick = 0; tick <= x_end * us_per_unit + 1e-9; tick += us_step) {
        append_format(svg, "<line x1=\"%.2f\" y1=\"%.1f\" x2=\"%.2f\" y2=\"%.1f\"/>\n", x_of(tick / us_per_unit), plot_top,
               x_of(tick / us_per_unit), plot_top - 5);
    }
    if (has_longer) {
        append_format(svg, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", plot_right - 45, plot_bottom,
               plot_right, plot_bottom);
    }
    svg += "</g>\n";
    append_format(svg, "<g font-size=\"11\" text-anchor=\"middle\" %s>\n", font);
    for (double tick = 0; tick <= x_end + unit_step / 2; tick += unit_step) {
        append_format(svg, "<text x=\"%.2f\" y=\"%.1f\">%g</text>\n", x_of(tick), plot_bottom + 18, tick);
    }
    for (double tick = 0; tick <= x_end * us_per_unit + 1e-9; tick += us_step) {
        append_format(svg, "<text x=\"%.2f\" y=\"%.1f\">%g</text>\n", x_of(tick / us_per_unit), plot_top - 9, tick);
    }
    if (has_longer) {
        append_format(svg, "<text x=\"%.1f\" y=\"%.1f\">&gt;255</text>\n", plot_right - 25, plot_bottom + 18);
    }
    svg += "</g>\n";
    append_format(svg, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" font-size=\"12\" %s>pulse length in TAP units "
                "(8 cycles of the %s clock)</text>\n",
           (plot_left + values_right) / 2, plot_bottom + 40, font, clock_name(result).c_str());
    append_format(svg, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" font-size=\"12\" %s>pulse length in "
                "microseconds</text>\n",
           (plot_left + values_right) / 2, plot_top - 28, font);

    // Peaks: a marker on the bar and its value, length and count above it;
    // a label that would run into the one before it is set higher.
    double previous_x = -1000;
    int raised = 0;
    for (const peak& p : peaks) {
        const double x = x_of(p.value);
        const double top = y_of(static_cast<double>(p.count));
        raised = x - previous_x < 110 ? (raised + 1) % 3 : 0;
        previous_x = x;
        const double label_y = std::max(plot_top + 30, top - 10 - raised * 30.0);
        append_format(svg, "<path d=\"M %.2f %.2f l -5 -8 l 10 0 z\" fill=\"%s\"/>\n", x, top - 1, peak_colour);
        if (label_y < top - 12) {
            append_format(svg, "<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\" stroke=\"%s\" stroke-width=\"0.8\"/>\n",
                   x, label_y + 2, x, top - 9, peak_colour);
        }
        append_format(svg, "<text x=\"%.2f\" y=\"%.2f\" text-anchor=\"middle\" font-size=\"11\" fill=\"%s\" %s>"
                    "<tspan x=\"%.2f\" dy=\"-13\" font-weight=\"bold\">%u (%.0f µs)</tspan>"
                    "<tspan x=\"%.2f\" dy=\"13\">%s</tspan></text>\n",
               x, label_y, peak_colour, font, x, p.value, p.value * us_per_unit, x, grouped(p.count).c_str());
    }
    svg += "</svg>\n";
    return svg;
}

} // namespace velmora

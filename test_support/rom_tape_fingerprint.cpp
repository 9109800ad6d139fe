#include "test_support/rom_tape_fingerprint.h"

#include <cstdio>

namespace velmora {
namespace {

std::string place_text(const tape_place& place)
{
    return std::to_string(place.cycles) + "/" + std::to_string(place.offset) + "/" + std::to_string(place.block) +
           "/" + std::to_string(place.sample);
}

std::string copy_text(const rom_copy& copy)
{
    char spread[32];
    std::snprintf(spread, sizeof spread, "%.17g", copy.spread_percent);
    return "copy " + std::to_string(copy.present) + " " + place_text(copy.start) + " " + place_text(copy.end) + " " +
           std::to_string(copy.bytes) + " " + std::to_string(copy.checksum_read) + " " +
           std::to_string(copy.checksum_found) + " " + std::to_string(copy.bad_bytes) + " " +
           std::to_string(copy.first_bad) + " " + std::to_string(copy.turned) + " " + std::to_string(copy.cut) + " " +
           spread + "\n";
}

std::string block_text(const rom_block& block)
{
    return "block " + std::to_string(block.size) + " " + verdict_word(block.verdict) + " " +
           std::to_string(block.mended_bytes) + " " + std::to_string(block.mended_first) + " " + block.why + "\n" +
           copy_text(block.copies[0]) + copy_text(block.copies[1]);
}

} // namespace

std::string rom_tape_fingerprint(const rom_tape_result& result)
{
    std::string text = "found " + std::to_string(result.found) + " format " + std::to_string(result.format_cycles) +
                       " total " + std::to_string(result.total_cycles) + "\n";
    const rom_wave_classes& c = result.classes;
    text += "classes " + std::to_string(c.short_centre) + " " + std::to_string(c.medium_centre) + " " +
            std::to_string(c.long_centre) + " " + std::to_string(c.glitch_below) + " " + std::to_string(c.medium_from) +
            " " + std::to_string(c.long_from) + " " + std::to_string(c.dropout_from) + "\n";
    for (const rom_file& file : result.files) {
        text += "file " + std::to_string(file.has_header) + " " + std::to_string(file.type) + " " +
                std::to_string(file.start) + " " + std::to_string(file.end) + " " + petscii_name(file.name) + " " +
                verdict_word(file.verdict) + " " + file.why + "\n" + block_text(file.header);
        text += file.has_data ? block_text(file.data) : "no data\n";
    }
    for (const rom_problem& problem : result.problems) {
        text += "problem " + std::to_string(static_cast<int>(problem.kind)) + " " + place_text(problem.place) + " " +
                problem.text + "\n";
    }
    text += "problems dropped " + std::to_string(result.problems_dropped) + "\n";
    for (const tape_pause& pause : result.pauses) {
        text += "pause " + place_text(pause.place) + " " + std::to_string(pause.cycles) + "\n";
    }
    return text + "pauses dropped " + std::to_string(result.pauses_dropped) + "\n";
}

} // namespace velmora

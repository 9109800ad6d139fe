#include "inspect/inspection.h"

#include "inspect/value_counts.h"

#include "capture_walk/capture_walk.h"
#include "signal/pulse_measurement.h"
#include "tape_files/ctf_file.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <iterator>
#include <memory>

namespace velmora {
namespace {

constexpr std::uint64_t clamped_cycles = tap_max_pulse * cycles_per_tap_unit;

// Adds one 4-byte entry of `cycles` to the summary.
void count_long_entry(pulse_summary& pulses, std::uint32_t cycles, std::uint64_t pause_from)
{
    ++pulses.long_entries;
    const std::uint32_t value = cycles / cycles_per_tap_unit;
    if (value <= histogram_values) {
        ++pulses.by_value[value];
        pulses.extra_cycles += cycles - value * cycles_per_tap_unit;
    } else {
        ++pulses.longer;
        pulses.longer_cycles += cycles;
        if (pulses.shortest_longer_cycles == 0 || cycles < pulses.shortest_longer_cycles) {
            pulses.shortest_longer_cycles = cycles;
        }
    }
    pulses.longest_cycles = std::max<std::uint64_t>(pulses.longest_cycles, cycles);
    if (cycles >= pause_from) {
        ++pulses.pauses;
        pulses.pause_cycles += cycles;
    }
    if (cycles == clamped_cycles) {
        ++pulses.clamped;
    }
}

// Where the entries stand for the ROM format's decoder: `offset` is the
// image offset of the next entry; pulses of at least `pause_from` cycles are pauses.
struct rom_feed {
    rom_tape_decoder& decoder;
    std::uint64_t offset;
    std::uint64_t pause_from;
};

// Number of entries read from `bytes`, all counted and fed to the decoder.
std::uint64_t count_entries(tap_entry_stream& stream, const std::uint8_t* bytes, std::size_t size,
                            value_counts& counter, pulse_summary& pulses, rom_feed& rom)
{
    std::uint64_t entries = 0;
    read_tap_entries(
        stream, bytes, size,
        [&counter, &entries, &rom](const std::uint8_t* run, std::size_t count) {
            count_values(counter, run, count);
            entries += count;
            rom_tape_feed_run(rom.decoder, run, count, rom.offset);
            rom.offset += count;
        },
        [&pulses, &entries, &rom](std::uint32_t cycles) {
            count_long_entry(pulses, cycles, rom.pause_from);
            ++entries;
            rom_tape_feed_pulse(rom.decoder, cycles, rom.offset);
            rom.offset += tap_max_entry_size;
        });
    return entries;
}

// Adds the one-byte entries' counts to the summary's histogram.
void finish_counting(const value_counts& counter, pulse_summary& pulses)
{
    static_assert(histogram_values == 255, "a value for each one-byte entry");
    const std::array<std::uint64_t, 256> totals = value_totals(counter);
    for (unsigned value = 0; value <= histogram_values; ++value) {
        pulses.by_value[value] += totals[value];
    }
}

// Edges of a chunk that gave `entries` entries and took the signal from
// level `before` to level `after`: in half waves one entry per edge; in full
// waves one per rising edge, and the falling edges alternate with them.
std::uint64_t chunk_edges(wave_kind waves, std::uint64_t entries, std::uint8_t before, std::uint8_t after)
{
    return waves == wave_kind::half_waves ? entries : 2 * entries + before - after;
}

// A stretch of one-byte entries in the sink's gathered entries, or one
// 4-byte entry, with the image offset of its first entry.
struct entry_piece {
    bool is_run;
    std::size_t at;        // a run: where it starts among the gathered entries
    std::size_t count;     // a run: its entries
    std::uint32_t cycles;  // a 4-byte entry: its pulse
    std::uint64_t offset;
};

// Entry bytes the sink gathers before it counts and decodes them together:
// the decoder and the counter pay for each call, and a chunk gives only
// about a thousand entries of a tape. Pieces it notes before it feeds them
// in any case: a sparse signal gives a 4-byte entry for nearly every pulse.
constexpr std::size_t gathered_entry_bytes = 8 * pulse_output_capacity;
constexpr std::size_t gathered_pieces = 1024;

// The walk's sink of the inspection: keeps a summary per block, and counts
// and decodes the entries of every chunk, several chunks at a time. It
// never stops the walk.
struct measuring_sink {
    inspection& result;
    rom_feed& rom;
    tap_entry_stream entries;
    value_counts counter;
    std::unique_ptr<std::uint8_t[]> out; // gathered entries, then room for a chunk's
    std::size_t held;                 // bytes of entries gathered
    std::vector<entry_piece> pieces;  // of the gathered entries, in order
};

// Counts and decodes the gathered entries.
void feed_gathered(measuring_sink& sink)
{
    for (const entry_piece& piece : sink.pieces) {
        if (piece.is_run) {
            count_values(sink.counter, sink.out.get() + piece.at, piece.count);
            rom_tape_feed_run(sink.rom.decoder, sink.out.get() + piece.at, piece.count, piece.offset);
        } else {
            rom_tape_feed_pulse(sink.rom.decoder, piece.cycles, piece.offset);
        }
    }
    sink.pieces.clear();
    sink.held = 0;
}

// Number of entries of the chunk gathered at `bytes`; its pieces are noted
// (a run that goes on from the last one joins it) and its 4-byte entries
// counted.
std::uint64_t gather_entries(measuring_sink& sink, const std::uint8_t* bytes, std::size_t size)
{
    std::uint64_t entries = 0;
    rom_feed& rom = sink.rom;
    read_tap_entries(
        sink.entries, bytes, size,
        [&sink, &entries, &rom](const std::uint8_t* run, std::size_t count) {
            const auto at = static_cast<std::size_t>(run - sink.out.get());
            entry_piece* const last = sink.pieces.empty() ? nullptr : &sink.pieces.back();
            if (last != nullptr && last->is_run && last->at + last->count == at) {
                last->count += count;
            } else {
                sink.pieces.push_back(entry_piece{true, at, count, 0, rom.offset});
            }
            entries += count;
            rom.offset += count;
        },
        [&sink, &entries, &rom](std::uint32_t cycles) {
            count_long_entry(sink.result.pulses, cycles, rom.pause_from);
            sink.pieces.push_back(entry_piece{false, 0, 0, cycles, rom.offset});
            ++entries;
            rom.offset += tap_max_entry_size;
        });
    return entries;
}

bool capture_begins(measuring_sink& /*sink*/, const ctf_header& /*header*/)
{
    return true;
}

bool block_begins(measuring_sink& sink, const walk_block& block)
{
    feed_gathered(sink);
    sink.result.blocks.push_back(block_summary{block.number, block.sample_period, block.announced_bytes, 0, 0, 0});
    rom_tape_enter_block(sink.rom.decoder, block.number, sample_cycles(block.sample_period, sink.result.waves));
    return true;
}

std::uint8_t* entry_room(measuring_sink& sink)
{
    assert(sink.held <= gathered_entry_bytes);
    return sink.out.get() + sink.held;
}

bool take_entries(measuring_sink& sink, const walk_chunk& chunk)
{
    block_summary& summary = sink.result.blocks.back();
    summary.sample_bytes += chunk.sample_bytes;
    const std::uint64_t chunk_entries = gather_entries(sink, sink.out.get() + sink.held, chunk.entry_bytes);
    sink.held += chunk.entry_bytes;
    if (sink.held > gathered_entry_bytes || sink.pieces.size() >= gathered_pieces) {
        feed_gathered(sink);
    }
    summary.pulses += chunk_entries;
    summary.edges += chunk_edges(sink.result.waves, chunk_entries, chunk.level_before, chunk.level_after);
    return true;
}

bool between_blocks(measuring_sink& /*sink*/)
{
    return true;
}

// Where a capture's walk stopped short, as the report names it.
cut_place capture_cut(const walk_result& walk)
{
    switch (walk.ending) {
    case walk_ending::completed:
    case walk_ending::empty_capture:
    case walk_ending::sink_failed: // the measuring sink never stops the walk
        return cut_place::none;
    case walk_ending::truncated:
    case walk_ending::unreadable:
        break;
    }
    switch (walk.place) {
    case walk_place::header:
        return cut_place::ctf_header;
    case walk_place::descriptor:
        return cut_place::ctf_descriptor;
    case walk_place::samples:
        return cut_place::ctf_samples;
    }
    return cut_place::none;
}

void inspect_capture(ctf_reader& reader, inspection& result, rom_feed& rom)
{
    // Not cleared: a sparse signal's entries touch only its first pages.
    measuring_sink sink{result, rom, tap_entry_stream{tap_version(result.waves), {}, 0}, {},
                        std::unique_ptr<std::uint8_t[]>(new std::uint8_t[gathered_entry_bytes + pulse_output_capacity]),
                        0, {}};
    start_counting(sink.counter);
    sink.pieces.reserve(2 * gathered_pieces);
    const walk_result walk = walk_capture(reader, result.waves, sink);
    feed_gathered(sink);
    finish_counting(sink.counter, result.pulses);
    result.block_count_field = walk.header.block_count_field;
    result.asymmetric_waves = walk.asymmetric_waves;
    result.cut = capture_cut(walk);
    if (result.cut != cut_place::none) {
        result.cut_offset = walk.offset;
        result.cut_block = walk.block;
    }
    // Every sample byte that arrived was measured: a capture cut in its
    // samples ends where the last of them does, not where they start.
    if (result.cut == cut_place::ctf_samples) {
        result.cut_offset += result.blocks.back().sample_bytes;
    }
}

void inspect_image(byte_reader& reader, inspection& result, rom_tape_decoder& decoder, const rom_file_sink& sink)
{
    if (read_tap_image_header(reader, result.header) != read_result::ok) {
        result.cut = cut_place::tap_header;
        result.cut_offset = 0;
        return;
    }
    // A version 2 image holds half waves; versions 0 and 1 full waves.
    result.rom_kind = result.header.version == 2 ? wave_kind::half_waves : wave_kind::full_waves;
    rom_tape_start(decoder, result.rom_kind, sink);
    result.clock = image_clock(is_c64_image(result), result.header.video_standard);
    if (is_c64_image(result)) {
        // Another machine's pulses, at another clock: never taken for the C16 format's.
        rom_tape_stop_decoding(decoder);
    }
    rom_tape_note_pauses(decoder, pause_min_cycles(result.clock));
    rom_feed rom{decoder, tap_header_size, pause_min_cycles(result.clock)};
    tap_entry_stream entries{result.header.version, {}, 0};
    value_counts counter;
    start_counting(counter);
    read_result read = read_result::ok;
    while (read == read_result::ok) {
        std::span<const std::uint8_t> piece;
        read = read_tap_data(reader, piece);
        result.data_bytes += piece.size();
        count_entries(entries, piece.data(), piece.size(), counter, result.pulses, rom);
    }
    finish_counting(counter, result.pulses);
    if (tap_entry_cut(entries)) {
        result.cut = cut_place::tap_entry;
        result.cut_offset = reader.position - entries.held_size;
    }
}

// A file shorter than a TAP image's signature that is the start of one: an
// image cut in its header, not a capture.
bool is_cut_tap_signature(std::span<const std::uint8_t> start)
{
    constexpr std::size_t marker_size = sizeof tap_kind_marker - 1;
    if (start.size() >= tap_recognition_size || start.size() <= tap_kind_offset + 1) {
        return false;
    }
    const std::size_t compared = std::min(start.size() - tap_kind_offset, marker_size);
    return std::memcmp(start.data() + tap_kind_offset, tap_kind_marker, compared) == 0;
}

const char* block_list_problem(const std::vector<std::int32_t>& numbers, std::string& line)
{
    constexpr std::size_t listed = 10;
    for (std::size_t i = 0; i < numbers.size() && i < listed; ++i) {
        line += (i == 0 ? " " : ", ") + std::to_string(numbers[i]);
    }
    if (numbers.size() > listed) {
        line += " and " + std::to_string(numbers.size() - listed) + " more";
    }
    return line.c_str();
}

} // namespace

inspection inspect_stream(std::FILE* input, wave_kind waves, std::span<std::uint8_t> buffer,
                          const rom_file_sink& sink)
{
    inspection result{};
    result.waves = waves;
    result.clock = c16_pal_clock;
    rom_tape_decoder decoder;
    byte_reader reader{input, buffer};
    const std::span<const std::uint8_t> start = peek_bytes(reader, tap_recognition_size);
    if (is_tap_image_start(start.data(), start.size()) || is_cut_tap_signature(start)) {
        result.kind = file_kind::tap_image;
        inspect_image(reader, result, decoder, sink);
    } else {
        result.kind = file_kind::ctf_capture;
        result.rom_kind = waves;
        rom_tape_start(decoder, waves, sink);
        rom_tape_note_pauses(decoder, pause_min_cycles(result.clock));
        rom_feed rom{decoder, 0, pause_min_cycles(result.clock)};
        inspect_capture(reader, result, rom);
    }
    rom_tape_finish(decoder);
    result.rom = std::move(decoder.result);
    result.bytes_read = reader.position;
    result.read_error = std::ferror(input) != 0;
    return result;
}

std::uint64_t total_cycles(const pulse_summary& pulses)
{
    std::uint64_t cycles = pulses.longer_cycles + pulses.extra_cycles;
    for (unsigned value = 1; value <= histogram_values; ++value) {
        cycles += pulses.by_value[value] * value * cycles_per_tap_unit;
    }
    return cycles;
}

std::uint64_t pulse_count(const pulse_summary& pulses)
{
    std::uint64_t count = pulses.longer;
    for (const std::uint64_t bucket : pulses.by_value) {
        count += bucket;
    }
    return count;
}

unsigned shortest_value(const pulse_summary& pulses)
{
    for (unsigned value = 1; value <= histogram_values; ++value) {
        if (pulses.by_value[value] != 0) {
            return value;
        }
    }
    return static_cast<unsigned>(pulses.shortest_longer_cycles / cycles_per_tap_unit);
}

std::uint64_t longest_cycles(const pulse_summary& pulses)
{
    for (unsigned value = histogram_values; value >= 1; --value) {
        if (pulses.by_value[value] != 0) {
            return std::max<std::uint64_t>(pulses.longest_cycles, std::uint64_t{value} * cycles_per_tap_unit);
        }
    }
    return pulses.longest_cycles;
}

std::uint64_t zero_length_pulses(const inspection& result)
{
    std::uint64_t count = result.pulses.by_value[0];
    for (const block_summary& block : result.blocks) {
        count += block.sample_period == 0 ? block.pulses : 0;
    }
    return count;
}

std::vector<peak> find_peaks(const pulse_summary& pulses)
{
    const std::uint64_t* const count = pulses.by_value;
    // A signal sampled coarsely fills only every second or third value (a
    // comb), and a tape's jitter spreads each kind of pulse over several:
    // the peaks are looked for in the histogram averaged over about ±6 % of
    // each value, the width within which a loader takes pulses as one kind.
    double smoothed[histogram_values + 2] = {};
    for (unsigned value = 1; value <= histogram_values; ++value) {
        const unsigned half = std::max(1U, (value + 8) / 16);
        const unsigned low = value > half ? value - half : 1;
        const unsigned high = std::min(value + half, histogram_values);
        std::uint64_t sum = 0;
        for (unsigned each = low; each <= high; ++each) {
            sum += count[each];
        }
        smoothed[value] = static_cast<double>(sum) / (2 * half + 1);
    }
    // Each local maximum of the average (the first value of a plateau
    // stands for it) is shown at the fullest value of its hump: its
    // averaging window and the values round it whose average stays above
    // half of its.
    struct candidate {
        unsigned centre;
        peak shown;
    };
    std::vector<candidate> candidates;
    for (unsigned value = 1; value <= histogram_values; ++value) {
        if (smoothed[value] == 0 || smoothed[value] <= smoothed[value - 1] || smoothed[value] < smoothed[value + 1]) {
            continue;
        }
        const unsigned half = std::max(1U, (value + 8) / 16);
        unsigned low = value > half ? value - half : 1;
        while (low > 1 && smoothed[low - 1] * 2 >= smoothed[value]) {
            --low;
        }
        unsigned high = std::min(value + half, histogram_values);
        while (high < histogram_values && smoothed[high + 1] * 2 >= smoothed[value]) {
            ++high;
        }
        const auto best = static_cast<unsigned>(std::max_element(count + low, count + high + 1) - count);
        candidates.push_back(candidate{value, peak{best, count[best]}});
    }
    const std::uint64_t largest = *std::max_element(count + 1, count + histogram_values + 1);
    // The fullest first; of two with the same fullest value, the one whose
    // average is higher, the middle of the hump.
    std::stable_sort(candidates.begin(), candidates.end(), [&smoothed](const candidate& a, const candidate& b) {
        return a.shown.count != b.shown.count ? a.shown.count > b.shown.count
                                              : smoothed[a.centre] > smoothed[b.centre];
    });
    std::vector<candidate> kept;
    for (const candidate& next : candidates) {
        const bool parted = std::all_of(kept.begin(), kept.end(), [&](const candidate& other) {
            const unsigned low = std::min(next.centre, other.centre);
            const unsigned high = std::max(next.centre, other.centre);
            const double dip = *std::min_element(smoothed + low, smoothed + high + 1);
            return next.shown.value != other.shown.value &&
                   dip * 2 < std::min(smoothed[next.centre], smoothed[other.centre]);
        });
        if (next.shown.count * 10 >= largest && parted && kept.size() < max_peaks) {
            kept.push_back(next);
        }
    }
    std::vector<peak> peaks;
    for (const candidate& each : kept) {
        peaks.push_back(each.shown);
    }
    std::sort(peaks.begin(), peaks.end(), [](const peak& a, const peak& b) { return a.value < b.value; });
    return peaks;
}

bool advisory_due(const inspection& result)
{
    return result.kind == file_kind::ctf_capture && half_waves_advised(result.waves, result.asymmetric_waves);
}

bool ended_early(const inspection& result)
{
    return result.cut != cut_place::none || result.read_error;
}

std::vector<std::string> find_problems(const inspection& result)
{
    std::vector<std::string> problems;
    const std::string at = " at byte " + std::to_string(result.cut_offset);
    switch (result.cut) {
    case cut_place::none:
        break;
    case cut_place::ctf_header:
        problems.push_back("the capture ends inside its 6-byte header, after " + std::to_string(result.bytes_read) +
                           " bytes");
        break;
    case cut_place::ctf_descriptor:
        problems.push_back("the capture ends inside the descriptor of block " + std::to_string(result.cut_block) +
                           at + ", after " + std::to_string(result.bytes_read) + " bytes");
        break;
    case cut_place::ctf_samples: {
        const block_summary& block = result.blocks.back();
        problems.push_back("the capture ends inside the samples of block " + std::to_string(result.cut_block) +
                           at + ": " + std::to_string(block.sample_bytes) + " of " +
                           std::to_string(block.announced_bytes) + " sample bytes");
        break;
    }
    case cut_place::tap_header:
        problems.push_back("the image ends inside its 20-byte header, after " + std::to_string(result.bytes_read) +
                           " bytes");
        break;
    case cut_place::tap_entry:
        problems.push_back("the image ends inside a 4-byte entry" + at);
        break;
    }
    if (result.read_error) {
        problems.push_back("the file could not be read after byte " + std::to_string(result.bytes_read));
    }
    if (result.kind == file_kind::tap_image) {
        if (result.cut != cut_place::tap_header && result.header.data_size != result.data_bytes) {
            problems.push_back("the data size field says " + std::to_string(result.header.data_size) +
                               " bytes, but " + std::to_string(result.data_bytes) + " bytes follow the header");
        }
        if (is_c64_image(result)) {
            problems.push_back("a C64 image (signature C64-TAPE-RAW): its tape is not a C16 tape, and is not "
                               "decoded as the C16 ROM format");
        } else if (result.cut != cut_place::tap_header && result.header.platform != tap_platform_c16) {
            problems.push_back("the platform byte says " + std::to_string(result.header.platform) +
                               ", not 2 (C16 family): emulators of the C16 refuse the image");
        }
        if (result.cut != cut_place::tap_header && result.header.version > 2) {
            problems.push_back("unknown TAP version " + std::to_string(result.header.version) +
                               ": read as version 1 or 2");
        }
        if (result.pulses.by_value[0] != 0) {
            problems.push_back(std::to_string(result.pulses.by_value[0]) +
                               (result.header.version == 0 ? " overflow bytes (0): pulses of unstated length"
                                                           : " pulses of 0 units"));
        }
        return problems;
    }
    if (ctf_capture_marked_empty(ctf_header{result.block_count_field})) {
        problems.push_back("the capture is empty: its block count field is 1");
    } else if (result.cut != cut_place::ctf_header && result.block_count_field < 1) {
        problems.push_back("the block count field is " + std::to_string(result.block_count_field) +
                           ": no blocks");
    }
    std::vector<std::int32_t> empty;
    std::vector<std::int32_t> period_0;
    for (const block_summary& block : result.blocks) {
        if (block.announced_bytes <= 0) {
            empty.push_back(block.number);
        }
        if (block.sample_period == 0) {
            period_0.push_back(block.number);
        }
    }
    if (!empty.empty()) {
        std::string line = empty.size() == 1 ? "a block with no samples:" : "blocks with no samples:";
        problems.push_back(block_list_problem(empty, line));
    }
    if (!period_0.empty()) {
        std::string line = period_0.size() == 1 ? "a block with sample period 0 (its pulses are 0 units, stored as 1):"
                                                : "blocks with sample period 0 (their pulses are 0 units, stored as 1):";
        problems.push_back(block_list_problem(period_0, line));
    }
    return problems;
}

bool is_c64_image(const inspection& result)
{
    return result.kind == file_kind::tap_image && result.cut != cut_place::tap_header &&
           std::memcmp(result.header.signature, "C64", 3) == 0;
}

std::uint32_t image_clock(bool c64, std::uint8_t video_standard)
{
    if (c64) {
        return video_standard < std::size(c64_clocks) ? c64_clocks[video_standard] : c64_pal_clock;
    }
    return video_standard == tap_video_ntsc ? c16_ntsc_clock : c16_pal_clock;
}

std::string clock_name(const inspection& result)
{
    constexpr const char* c64_standards[] = {"PAL", "NTSC", "old NTSC", "PAL-N"};
    static_assert(std::size(c64_standards) == std::size(c64_clocks));
    if (is_c64_image(result)) {
        const std::uint8_t video = result.header.video_standard;
        return std::string("C64 ") + (video < std::size(c64_standards) ? c64_standards[video] : "PAL");
    }
    return result.clock == c16_ntsc_clock ? "C16 NTSC" : "C16 PAL";
}

double seconds(const inspection& result, double cycles)
{
    return cycles / result.clock;
}

double microseconds(const inspection& result, double cycles)
{
    return cycles * 1e6 / result.clock;
}

} // namespace velmora

// Inspection of a CTF capture or a TAP image: what the file is, its pulses,
// their histogram and peaks, the running time of the tape, and what is wrong
// with it. A capture is measured with the converter's own convert_chunk and
// its entries are read back with the TAP entry reader, so that a capture and
// the image velmora writes from it give the same pulses.
#ifndef VELMORA_INSPECT_INSPECTION_H
#define VELMORA_INSPECT_INSPECTION_H

#include "rom_tape/rom_tape_decoder.h"
#include "tape_files/tap_reader.h"
#include "tape_files/wave_kind.h"

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

namespace velmora {

// The C16 PAL clock, in cycles a second; a TAP unit is 8 cycles.
inline constexpr std::uint32_t c16_pal_clock = 886724;
inline constexpr std::uint32_t cycles_per_tap_unit = 8;
// The C16 NTSC clock, for images whose video standard byte says NTSC.
inline constexpr std::uint32_t c16_ntsc_clock = 894886;
// The C64's clocks, for images of that machine, by video standard byte:
// PAL (0), NTSC (1), old NTSC (2), PAL-N (3).
inline constexpr std::uint32_t c64_pal_clock = 985248;
inline constexpr std::uint32_t c64_clocks[] = {c64_pal_clock, 1022727, 1022730, 1023440};
// A pulse of at least a quarter of a second at `clock` is a pause.
constexpr std::uint64_t pause_min_cycles(std::uint32_t clock)
{
    return (std::uint64_t{clock} + 3) / 4;
}
// Histogram buckets: one per value from 1 to 255 TAP units.
inline constexpr unsigned histogram_values = 255;
inline constexpr unsigned max_peaks = 8;

struct pulse_summary {
    // Pulses of 1 to 255 units at their value; [0] holds the pulses of 0
    // units (a 4-byte entry of fewer than 8 cycles, or a 0 byte in version 0).
    std::uint64_t by_value[histogram_values + 1];
    std::uint64_t longer;          // pulses above 255 units
    std::uint64_t longer_cycles;   // their total length
    std::uint64_t extra_cycles;    // cycles of 4-byte entries of at most 255 units beyond 8 × value
    std::uint64_t long_entries;    // 4-byte entries
    std::uint64_t longest_cycles;  // the longest pulse of a 4-byte entry
    std::uint64_t shortest_longer_cycles; // the shortest pulse above 255 units, 0 if none
    std::uint64_t pauses;          // pulses of at least pause_min_cycles of the file's clock
    std::uint64_t pause_cycles;
    std::uint64_t clamped;         // pulses at the longest value an entry holds (8 × tap_max_pulse cycles)
};

struct block_summary {
    std::int32_t number;          // 1 for the first block
    std::uint8_t sample_period;
    std::int64_t announced_bytes; // sample bytes its end offset announces; 0 or below: none
    std::uint64_t sample_bytes;   // sample bytes actually read
    std::uint64_t edges;          // level changes in its samples
    std::uint64_t pulses;         // entries its edges gave
};

// Where a file ended before its structure was complete.
enum class cut_place {
    none,
    ctf_header,
    ctf_descriptor, // of block cut_block
    ctf_samples,    // of block cut_block
    tap_header,
    tap_entry,      // inside a 4-byte entry starting at cut_offset
};

enum class file_kind { ctf_capture, tap_image };

struct inspection {
    file_kind kind;
    pulse_summary pulses;
    cut_place cut;
    std::uint64_t cut_offset; // file offset where the cut piece starts
    std::int32_t cut_block;
    std::uint64_t bytes_read; // whole file, as far as it was read
    bool read_error;          // the stream reported an error before its end
    // Cycles a second its times are counted at (image_clock): a capture's
    // at the C16 PAL clock, an image's at its machine's and video standard's.
    std::uint32_t clock;
    // A capture.
    wave_kind waves;                   // what the pulses measure
    std::int32_t block_count_field;
    std::vector<block_summary> blocks; // as many as the header announces, at most 32766
    std::uint64_t asymmetric_waves;    // measuring full waves
    // An image.
    tap_image_header header;           // valid unless cut == tap_header
    std::uint64_t data_bytes;          // bytes read after the header
    // The ROM loader's format, decoded from the same pulses.
    wave_kind rom_kind;
    rom_tape_result rom;
};

struct peak {
    unsigned value;
    std::uint64_t count;
};

// Reads `input` once, front to back, in constant memory (but for one small
// record per block), and measures it. A TAP image is recognised by its first
// 12 bytes; anything else is read as a CTF capture and measured as velmora
// writes it measuring `waves`. Never fails: a cut or an
// unreadable stream is recorded in the result and ends the reading. The
// stream is read through `buffer` (at least ctf_min_buffer_size bytes; a
// larger one means fewer, larger reads), perhaps past what is measured. The
// pulses are decoded as the ROM loader's format on the way; `sink`, if set,
// receives each file found as soon as it is complete.
inspection inspect_stream(std::FILE* input, wave_kind waves, std::span<std::uint8_t> buffer,
                          const rom_file_sink& sink = {});

// Total length of all pulses, in cycles.
std::uint64_t total_cycles(const pulse_summary& pulses);
std::uint64_t pulse_count(const pulse_summary& pulses);
// Shortest pulse of at least 1 unit, in units (0 if there is none).
unsigned shortest_value(const pulse_summary& pulses);
// Longest pulse, in cycles (0 if there is none).
std::uint64_t longest_cycles(const pulse_summary& pulses);
// Pulses that measure 0 units: in an image, entries of fewer than 8 cycles;
// in a capture, every pulse of a block of sample period 0 (stored as 1).
std::uint64_t zero_length_pulses(const inspection& result);

// The peaks of the histogram of 1 to 255 units. The histogram is averaged
// over a window of about ±6 % of each value; each local maximum of the
// average is shown at the fullest value of its hump. A peak's fullest value
// reaches a tenth of the largest bucket, and between two peaks the average
// dips below half of the smaller of theirs. At most max_peaks, the fullest
// kept, in order of value.
std::vector<peak> find_peaks(const pulse_summary& pulses);

// True if velmora would recommend half waves (version 2) after writing this
// capture.
bool advisory_due(const inspection& result);

// The file ended before its structure was complete, or could not be read.
bool ended_early(const inspection& result);

// One line per problem found, without a line end.
std::vector<std::string> find_problems(const inspection& result);

// True for an image whose signature says C64 (C64-TAPE-RAW): its pulses
// are timed at that machine's clock, and not decoded as the C16 ROM format.
bool is_c64_image(const inspection& result);

// The clock an image is timed at, from its signature (`c64`) and video
// standard byte: the C64's four, the C16's PAL and NTSC; any other byte is
// timed at PAL.
std::uint32_t image_clock(bool c64, std::uint8_t video_standard);

// The machine and video standard of the file's clock: "C16 PAL", "C64 NTSC", ...
std::string clock_name(const inspection& result);

// Microseconds and seconds of `cycles` at the file's clock.
double microseconds(const inspection& result, double cycles);
double seconds(const inspection& result, double cycles);

} // namespace velmora

#endif

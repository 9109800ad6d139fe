// Builds CTF captures from phase lengths: for tests, benchmarks, the fuzz
// corpus and the bundled example. Deterministic for a given seed on every
// platform (no standard-library distributions).
#ifndef VELMORA_TEST_SUPPORT_CAPTURE_BUILDER_H
#define VELMORA_TEST_SUPPORT_CAPTURE_BUILDER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora::capture {

struct block {
    std::uint8_t period;
    std::vector<std::uint8_t> samples;
};

enum class pattern {
    tape,   // full waves of three lengths, 6 to 30 samples a phase, a little jitter
    sparse, // phases of 200 to 5000 samples
    dense,  // an edge at every sample
};

// Sample bytes, most significant bit first, holding runs of the given
// lengths at alternating levels from `start_level`. Each run after the first
// begins with an edge; the last byte is padded with the level that follows
// the last run, so that run is closed by an edge unless it ends on a byte
// boundary.
std::vector<std::uint8_t> pack_phases(const std::vector<std::uint32_t>& phases, int start_level = 0);

// Phase lengths of `pattern` that add up to at least `samples`.
std::vector<std::uint32_t> random_phases(pattern kind, std::uint64_t seed, std::uint64_t samples);

// A whole capture: header with a block count field of blocks + 1 (or
// `block_count_field` when given), then each block with a correct end offset.
std::vector<std::uint8_t> ctf_image(const std::vector<block>& blocks);
std::vector<std::uint8_t> ctf_image(const std::vector<block>& blocks, std::int16_t block_count_field);

// Appends one little-endian field of `size` bytes.
void put_le(std::vector<std::uint8_t>& bytes, std::uint64_t value, unsigned size);

// The tape encoding of the C16 family's ROM loader. Every byte is a pair
// of full waves as a marker (long, medium), eight data bits least
// significant first (short-medium is 0, medium-short is 1) and an odd parity
// bit as a pair of the same kind. Both half waves of a full wave have the
// same length, and the signal is whole full waves: an even number of half
// waves, as the loader reads them in pairs (pack_phases starts it low).
inline constexpr std::uint32_t rom_tape_short_cycles = 209;  // half wave, clock cycles at 886 724 Hz
inline constexpr std::uint32_t rom_tape_medium_cycles = 423; // half wave
inline constexpr std::uint32_t rom_tape_long_cycles = 821;   // half wave
inline constexpr std::size_t rom_tape_header_bytes = 192;
inline constexpr std::size_t rom_tape_name_bytes = 16;

// Half waves, in clock cycles, of one block sent twice: a leader of short
// waves, the countdown $89 ... $81, the payload and its XOR checksum; a short
// leader, the same with the countdown $09 ... $01; a trailer of short waves.
std::vector<std::uint32_t> rom_tape_block(const std::vector<std::uint8_t>& payload);

// The header block of a relocatable BASIC program: type 1, start and end
// address (one past the last byte) little-endian, `name` cut or padded with
// spaces to 16 bytes, spaces to 192 bytes.
std::vector<std::uint8_t> rom_tape_header(std::uint16_t start, std::uint16_t end, const std::string& name);

// Half waves, in clock cycles, of a whole program file: the header block,
// then a data block holding `program`, which loads at `start`. The caller
// keeps start + program.size(), the end address, at most $FFFF.
std::vector<std::uint32_t> rom_tape_program(std::uint16_t start, const std::vector<std::uint8_t>& program,
                                            const std::string& name);

// Phase lengths in samples of `period` for half waves given in clock cycles,
// one sample lasting as long as the measurement of half waves takes it
// (sample_cycles in pulse_measurement.h), rounded to nearest, at least 1.
// `period` is at least 1.
std::vector<std::uint32_t> cycles_to_samples(const std::vector<std::uint32_t>& cycles, std::uint8_t period);

bool parse_pattern(const std::string& name, pattern& kind);

bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);

// Reads a whole file into `bytes`; false if it cannot be opened or read.
bool read_file(const std::string& path, std::vector<std::uint8_t>& bytes);

} // namespace velmora::capture

#endif

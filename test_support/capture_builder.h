// Builds CTF captures from phase lengths: for tests, benchmarks, the fuzz
// corpus and the bundled example (ROM-format programs come from
// rom_tape/rom_tape_encoder.h). Deterministic for a given seed on every
// platform (no standard-library distributions).
#ifndef VELMORA_TEST_SUPPORT_CAPTURE_BUILDER_H
#define VELMORA_TEST_SUPPORT_CAPTURE_BUILDER_H

#include "rom_tape/rom_tape_encoder.h"

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

// Phase lengths in samples of `period` for half waves given in clock cycles,
// one sample lasting as long as the measurement of half waves takes it
// (sample_cycles in pulse_measurement.h), rounded to nearest, at least 1.
// `period` is at least 1.
std::vector<std::uint32_t> cycles_to_samples(const std::vector<std::uint32_t>& cycles, std::uint8_t period);

// Damage to half waves (clock cycles), for tapes that must not load cleanly.
// Each half wave × (1 ± up to `percent` %), drawn from `seed`.
void add_jitter(std::vector<std::uint32_t>& half_waves, unsigned percent, std::uint64_t seed);
// Splits half wave `at` by a spike of `spike` cycles: two half waves more, the
// total length kept.
void add_glitch(std::vector<std::uint32_t>& half_waves, std::size_t at, std::uint32_t spike);
// Merges half waves `at` to `at + count - 1` (`count` odd, so the levels after
// it stay as they were) into one: the signal stops for their length.
void add_dropout(std::vector<std::uint32_t>& half_waves, std::size_t at, std::size_t count);
// Keeps the half waves that start before `cycles`.
void cut_at(std::vector<std::uint32_t>& half_waves, std::uint64_t cycles);

bool parse_pattern(const std::string& name, pattern& kind);

bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);

// Reads a whole file into `bytes`; false if it cannot be opened or read.
bool read_file(const std::string& path, std::vector<std::uint8_t>& bytes);

} // namespace velmora::capture

#endif

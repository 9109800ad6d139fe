// The tape format of the C16 family's ROM loader, as both the encoder and the
// decoder of this folder know it. Every byte is a pair of full waves as a
// marker (long, medium), eight data bits least significant first (short then
// medium is 0, medium then short is 1) and an odd parity bit as a pair of the
// same kind. Both half waves of a full wave have the same length. A block is
// sent twice: a leader of short waves, the countdown $89 ... $81, the payload
// and its XOR checksum; a shorter leader, the same with the countdown
// $09 ... $01; a trailer of short waves. A program file is a header block of
// 192 bytes (type, start and end address little-endian, a 16-byte name) and a
// data block holding the bytes from the start address up to the end address.
#ifndef VELMORA_ROM_TAPE_ROM_TAPE_FORMAT_H
#define VELMORA_ROM_TAPE_ROM_TAPE_FORMAT_H

#include <cstddef>
#include <cstdint>

namespace velmora {

// Nominal half waves, in clock cycles at 886 724 Hz.
inline constexpr std::uint32_t rom_tape_short_cycles = 209;
inline constexpr std::uint32_t rom_tape_medium_cycles = 423;
inline constexpr std::uint32_t rom_tape_long_cycles = 821;

// Bit pairs of one byte: eight data bits and the parity bit.
inline constexpr unsigned rom_tape_bit_pairs = 9;
// Full waves of one byte on the tape: the marker and nine bit pairs.
inline constexpr unsigned rom_tape_byte_waves = 2 + 2 * rom_tape_bit_pairs;
// Half waves of one byte, whatever its value: every bit pair is a short and a medium wave.
inline constexpr std::uint32_t rom_tape_byte_cycles =
    2 * (rom_tape_long_cycles + rom_tape_medium_cycles) + 18 * (rom_tape_short_cycles + rom_tape_medium_cycles);

inline constexpr std::size_t rom_tape_header_bytes = 192;
inline constexpr std::size_t rom_tape_name_bytes = 16;
inline constexpr std::size_t rom_tape_name_offset = 5;
// The longest payload of a data block: a whole 64 KiB address space.
inline constexpr std::size_t rom_tape_max_payload = 0x10000;

// Countdown bytes: 9 down to 1, with bit 7 set in the first copy.
inline constexpr std::uint8_t rom_tape_first_copy_flag = 0x80;
inline constexpr unsigned rom_tape_countdown_length = 9;

// Header block types.
enum class rom_file_type : std::uint8_t {
    basic_program = 1,  // loads at the start of BASIC, wherever that is
    data_block = 2,     // a block of a data file
    machine_code = 3,   // loads at its start address
    data_file = 4,      // the header of a data file
    end_of_tape = 5,
};

} // namespace velmora

#endif

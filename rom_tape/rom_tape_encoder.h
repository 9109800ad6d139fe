// Writes programs in the ROM loader's tape format (rom_tape_format.h), as
// half waves in clock cycles: for the capture generator and the tests.
#ifndef VELMORA_ROM_TAPE_ROM_TAPE_ENCODER_H
#define VELMORA_ROM_TAPE_ROM_TAPE_ENCODER_H

#include "rom_tape/rom_tape_format.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace velmora {

// One byte sent wrong, for building damaged tapes: byte `byte` of the payload
// (0 is the first byte after the countdown; the payload's size is the
// checksum) of copy `copy` (0 first, 1 repeat) of block `block` (0 the
// header, 1 the data) goes out XORed with `flip`; with `keep_parity` its
// parity bit is that of the byte sent (the fault passes the parity check),
// else that of the true byte (it fails it).
struct rom_tape_byte_fault {
    unsigned block;
    unsigned copy;
    std::size_t byte;
    std::uint8_t flip;
    bool keep_parity;
};

// Half waves of one block sent twice: a leader of short waves, the countdown
// $89 ... $81, the payload and its XOR checksum; a short leader, the same
// with the countdown $09 ... $01; a trailer of short waves. Of `faults`,
// those of block number `block` apply.
std::vector<std::uint32_t> rom_tape_block(const std::vector<std::uint8_t>& payload, unsigned block = 0,
                                          std::span<const rom_tape_byte_fault> faults = {});

// The header block of a relocatable BASIC program: type 1, start and end
// address (one past the last byte) little-endian, `name` cut or padded with
// spaces to 16 bytes, spaces to 192 bytes.
std::vector<std::uint8_t> rom_tape_header(std::uint16_t start, std::uint16_t end, const std::string& name);

// Half waves of a whole program file: the header block, then a data block
// holding `program`, which loads at `start`. The caller keeps
// start + program.size(), the end address, at most $FFFF.
std::vector<std::uint32_t> rom_tape_program(std::uint16_t start, const std::vector<std::uint8_t>& program,
                                            const std::string& name, std::span<const rom_tape_byte_fault> faults = {});

// Index, among the half waves of rom_tape_program, of the first half wave of
// byte `byte` of the payload (its size is the checksum) of copy `copy` of
// block `block` (0 the header, 1 the data), for a program of `program_size`
// bytes.
std::size_t rom_tape_byte_half_wave(std::size_t program_size, unsigned block, unsigned copy, std::size_t byte);

} // namespace velmora

#endif

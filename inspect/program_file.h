// A program found on a tape as a NAME.prg file: the 2-byte load address,
// low byte first, then the data. Shared by the extraction to a folder and
// the browser page's downloads, so that both give the same names and bytes.
#ifndef VELMORA_INSPECT_PROGRAM_FILE_H
#define VELMORA_INSPECT_PROGRAM_FILE_H

#include "rom_tape/rom_tape_decoder.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace velmora {

// A name that is safe as a file name on Linux and on Windows: printable ASCII
// but for path separators and the characters Windows forbids (each becomes
// '_'), no trailing dots or spaces, no reserved device name (CON, NUL, COM1,
// ...; prefixed with '_'), never empty ("UNNAMED").
std::string safe_file_name(const std::string& name);

// True if `file` (with `data`, its data block as recovered) is written as a
// program: it has a header and data, and it loads or is recoverable, or it
// is lost and damaged files are asked for.
bool program_file_wanted(const rom_file& file, std::span<const std::uint8_t> data, bool damaged);

// The file's bytes: the load address, low byte first, then `data`.
std::vector<std::uint8_t> program_file_bytes(const rom_file& file, std::span<const std::uint8_t> data);

// The file's name: its tape name made safe, then "-<number>" from 2 on, then
// ".prg", or ".damaged.prg" if it is lost.
std::string program_file_name(const rom_file& file, unsigned number);

// `name` with ASCII capitals in lower case: two names of one key are one
// file on Windows and macOS, so a run writes only one of them.
std::string file_name_key(std::string name);

} // namespace velmora

#endif

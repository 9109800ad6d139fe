// Writing the programs found on a tape as NAME.prg files: the 2-byte load
// address, then the data. Files are created new, never replacing one that
// exists (unless forced), and never the input.
#ifndef VELMORA_INSPECT_EXTRACTION_H
#define VELMORA_INSPECT_EXTRACTION_H

#include "inspect/program_file.h"
#include "platform/files.h"
#include "rom_tape/rom_tape_decoder.h"

#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace velmora {

struct extraction {
    std::string folder;
    bool force;                   // replace files that exist (never the input)
    bool damaged;                 // also write lost files, as NAME.damaged.prg
    file_identity input;          // the input, which is never written over
    std::set<std::string> used;   // names written in this run, lower case
    std::vector<std::string> written;
    std::string failed;           // the path that could not be written, if any
};

// Writes `file` if it should be: it loads or is recoverable, or it is lost
// and damaged files are asked for, through the guarded output (never the
// input, never a file another run writes; a file not written whole is
// discarded). A name that exists is numbered on unless forced. False if a
// write failed (then `failed` names the path).
bool extract_file(extraction& out, const rom_file& file, std::span<const std::uint8_t> data);

} // namespace velmora

#endif

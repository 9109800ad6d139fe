// Everything the ROM tape decoder found, as one text: two decodings of the
// same pulses agree when their fingerprints are equal.
#ifndef VELMORA_TEST_SUPPORT_ROM_TAPE_FINGERPRINT_H
#define VELMORA_TEST_SUPPORT_ROM_TAPE_FINGERPRINT_H

#include "rom_tape/rom_tape_decoder.h"

#include <string>

namespace velmora {

// Every field of `result`: files with their blocks and copies, problems and
// pauses with their places, the counts, times and wave classes.
std::string rom_tape_fingerprint(const rom_tape_result& result);

} // namespace velmora

#endif

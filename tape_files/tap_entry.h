// The TAP pulse entry encoder: the only part of the TAP format that the pulse
// measurement needs, kept apart so that it can be inlined into the scan loop.
#ifndef VELMORA_TAPE_FILES_TAP_ENTRY_H
#define VELMORA_TAPE_FILES_TAP_ENTRY_H

#include <cstdint>

namespace velmora {

// Longest pulse an entry can hold: 8 × value must fit in the 24-bit cycle field.
inline constexpr std::uint64_t tap_max_pulse = 0x1FFFFF;
// Longest encoding of one entry, in bytes.
inline constexpr unsigned tap_max_entry_size = 4;

// Pulse value that is actually stored for `value` (TAP units of 8 cycles):
// 0 becomes 1, since a 0 byte opens a 4-byte entry for every TAP reader;
// values past tap_max_pulse are clamped, never wrapped to a short pulse.
constexpr std::uint32_t tap_stored_pulse(std::uint64_t value)
{
    const std::uint64_t clamped = value > tap_max_pulse ? tap_max_pulse : value;
    return static_cast<std::uint32_t>(clamped == 0 ? 1 : clamped);
}

// Appends the entry for `value` at `out` and returns the new end: one byte for
// a stored value up to 255, else 0x00 and the 24-bit cycle count 8 × value,
// least significant byte first. `out` must have tap_max_entry_size bytes
// free: all of them are stored to, whatever the entry's length, so that the
// encoding needs no branch.
inline std::uint8_t* put_tap_entry(std::uint8_t* out, std::uint64_t value)
{
    const std::uint32_t stored = tap_stored_pulse(value);
    const bool one_byte = stored <= 0xFF;
    const std::uint32_t entry = one_byte ? stored : (stored * 8) << 8;
    out[0] = static_cast<std::uint8_t>(entry);
    out[1] = static_cast<std::uint8_t>(entry >> 8);
    out[2] = static_cast<std::uint8_t>(entry >> 16);
    out[3] = static_cast<std::uint8_t>(entry >> 24);
    return out + (one_byte ? 1 : tap_max_entry_size);
}

} // namespace velmora

#endif

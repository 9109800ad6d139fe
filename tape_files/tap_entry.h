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
    if (value == 0) {
        return 1;
    }
    return value > tap_max_pulse ? static_cast<std::uint32_t>(tap_max_pulse) : static_cast<std::uint32_t>(value);
}

// Appends the entry for `value` at `out` and returns the new end: one byte for
// a stored value up to 255, else 0x00 and the 24-bit cycle count 8 × value,
// least significant byte first. `out` must have tap_max_entry_size bytes free.
inline std::uint8_t* put_tap_entry(std::uint8_t* out, std::uint64_t value)
{
    const std::uint32_t stored = tap_stored_pulse(value);
    if (stored <= 0xFF) {
        out[0] = static_cast<std::uint8_t>(stored);
        return out + 1;
    }
    const std::uint32_t cycles = stored * 8;
    out[0] = 0;
    out[1] = static_cast<std::uint8_t>(cycles);
    out[2] = static_cast<std::uint8_t>(cycles >> 8);
    out[3] = static_cast<std::uint8_t>(cycles >> 16);
    return out + 4;
}

} // namespace velmora

#endif

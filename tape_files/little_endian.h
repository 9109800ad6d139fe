// Little-endian fields of the file formats (least significant byte first):
// every header field of a capture and of an image is read and written here.
#ifndef VELMORA_TAPE_FILES_LITTLE_ENDIAN_H
#define VELMORA_TAPE_FILES_LITTLE_ENDIAN_H

#include <cstddef>
#include <cstdint>

namespace velmora {

// The unsigned value of the `size` (1 to 4) bytes at `bytes`.
constexpr std::uint32_t read_little_endian(const std::uint8_t* bytes, std::size_t size)
{
    std::uint32_t value = 0;
    for (std::size_t i = size; i > 0; --i) {
        value = (value << 8) | bytes[i - 1];
    }
    return value;
}

// Stores the low `size` (1 to 4) bytes of `value` at `bytes`.
constexpr void write_little_endian(std::uint8_t* bytes, std::uint32_t value, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

} // namespace velmora

#endif

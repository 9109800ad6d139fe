// Checks a TAP image the way a TAP reader would read it, independently of the
// writer: for the fault tests, the capture corpus and the fuzz targets.
#ifndef VELMORA_TESTS_TAP_IMAGE_CHECK_H
#define VELMORA_TESTS_TAP_IMAGE_CHECK_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace velmora::testing_support {

inline constexpr std::size_t tap_image_header_size = 20;

// What is wrong with `image` as a TAP image of `version` written by velmora,
// or an empty string if nothing is: the header must be "C16-TAPE-RAW",
// version, platform 2 (C16), video 0 (PAL), a reserved 0, and a data size
// equal to the bytes after the header; every entry after it must parse: a
// non-zero byte is one entry, a 0 byte opens a 4-byte entry whose 24-bit
// cycle count is a multiple of 8 of a pulse above 255 (anything else would
// be written as one byte), and no entry may be cut short at the end.
inline std::string tap_image_problem(const std::uint8_t* image, std::size_t size, int version)
{
    if (size < tap_image_header_size) {
        return "shorter than the 20-byte header: " + std::to_string(size) + " bytes";
    }
    if (std::memcmp(image, "C16-TAPE-RAW", 12) != 0) {
        return "no C16-TAPE-RAW signature";
    }
    if (image[12] != version || image[13] != 2 || image[14] != 0 || image[15] != 0) {
        return "wrong version, platform, video standard or reserved byte";
    }
    const std::uint32_t data_size = static_cast<std::uint32_t>(image[16]) |
                                    (static_cast<std::uint32_t>(image[17]) << 8) |
                                    (static_cast<std::uint32_t>(image[18]) << 16) |
                                    (static_cast<std::uint32_t>(image[19]) << 24);
    if (data_size != size - tap_image_header_size) {
        return "data size field " + std::to_string(data_size) + " but " +
               std::to_string(size - tap_image_header_size) + " bytes follow the header";
    }
    for (std::size_t at = tap_image_header_size; at < size;) {
        if (image[at] != 0) {
            ++at;
            continue;
        }
        if (size - at < 4) {
            return "a 4-byte entry cut short at offset " + std::to_string(at);
        }
        const std::uint32_t cycles = static_cast<std::uint32_t>(image[at + 1]) |
                                     (static_cast<std::uint32_t>(image[at + 2]) << 8) |
                                     (static_cast<std::uint32_t>(image[at + 3]) << 16);
        if (cycles % 8 != 0 || cycles / 8 <= 255) {
            return "a 4-byte entry of " + std::to_string(cycles) + " cycles at offset " + std::to_string(at);
        }
        at += 4;
    }
    return "";
}

inline std::string tap_image_problem(const std::string& image, int version)
{
    return tap_image_problem(reinterpret_cast<const std::uint8_t*>(image.data()), image.size(), version);
}

} // namespace velmora::testing_support

#endif

#include "tape_files/tap_reader.h"

#include <cstring>

namespace velmora {

tap_image_header decode_tap_image_header(const std::uint8_t (&bytes)[tap_header_size])
{
    tap_image_header header{};
    static_assert(sizeof header.signature == 12);
    std::memcpy(header.signature, bytes, sizeof header.signature);
    header.version = bytes[12];
    header.platform = bytes[13];
    header.video_standard = bytes[14];
    header.reserved = bytes[15];
    header.data_size = static_cast<std::uint32_t>(bytes[16]) | (static_cast<std::uint32_t>(bytes[17]) << 8) |
                       (static_cast<std::uint32_t>(bytes[18]) << 16) | (static_cast<std::uint32_t>(bytes[19]) << 24);
    return header;
}

} // namespace velmora

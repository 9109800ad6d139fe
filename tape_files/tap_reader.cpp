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
    header.data_size = read_little_endian(bytes + 16, 4);
    return header;
}

read_result read_tap_image_header(byte_reader& reader, tap_image_header& header)
{
    return take_record<tap_header_size>(reader, header, [](const std::uint8_t (&bytes)[tap_header_size]) {
        return decode_tap_image_header(bytes);
    });
}

read_result read_tap_data(byte_reader& reader, std::span<const std::uint8_t>& piece)
{
    return take_bytes(reader, tap_data_piece_size, piece);
}

} // namespace velmora

#include "tape_files/ctf_file.h"

#include "tape_files/little_endian.h"

#include <algorithm>
#include <cassert>

namespace velmora {

ctf_header decode_ctf_header(const std::uint8_t (&bytes)[ctf_header_size])
{
    const auto field = static_cast<std::uint16_t>(read_little_endian(bytes + 4, 2));
    return ctf_header{static_cast<std::int16_t>(field)};
}

ctf_block_descriptor decode_ctf_block_descriptor(const std::uint8_t (&bytes)[ctf_descriptor_size],
                                                 std::uint64_t position_after)
{
    const auto end_offset = static_cast<std::int32_t>(read_little_endian(bytes, 4));
    // The difference is taken in 64 bits: a negative end offset must give no
    // samples rather than wrap around to a huge positive count.
    const std::int64_t remaining = std::int64_t{end_offset} - static_cast<std::int64_t>(position_after);
    return ctf_block_descriptor{end_offset, bytes[4], remaining};
}

std::int32_t ctf_block_count(const ctf_header& header)
{
    return std::max(header.block_count_field - 1, 0);
}

ctf_read_result read_ctf_header(ctf_reader& reader, ctf_header& header)
{
    return take_record<ctf_header_size>(reader, header, [](const std::uint8_t (&bytes)[ctf_header_size]) {
        return decode_ctf_header(bytes);
    });
}

ctf_read_result read_ctf_block_descriptor(ctf_reader& reader, ctf_block_descriptor& block)
{
    return take_record<ctf_descriptor_size>(reader, block,
                                            [&reader](const std::uint8_t (&bytes)[ctf_descriptor_size]) {
                                                return decode_ctf_block_descriptor(bytes, reader.position);
                                            });
}

ctf_read_result read_ctf_chunk(ctf_reader& reader, ctf_block_descriptor& block, std::span<const std::uint8_t>& chunk)
{
    assert(block.remaining > 0);
    const auto request = static_cast<std::size_t>(std::min<std::int64_t>(block.remaining, ctf_chunk_size));
    block.remaining -= static_cast<std::int64_t>(request);
    return take_bytes(reader, request, chunk);
}

} // namespace velmora

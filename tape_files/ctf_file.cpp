#include "tape_files/ctf_file.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace velmora {
namespace {

// Reads exactly `size` bytes unless the stream ends or fails first; bytes
// looked at ahead come first. A stream that has ended or failed is not read
// again, so a short look-ahead is reported by the read that needs more than
// it holds.
ctf_read_result read_exactly(ctf_reader& reader, std::uint8_t* bytes, std::size_t size, std::size_t& got)
{
    const std::size_t waiting = std::min(size, reader.lookahead_end - reader.lookahead_next);
    if (waiting > 0) {
        std::memcpy(bytes, reader.lookahead + reader.lookahead_next, waiting);
        reader.lookahead_next += waiting;
    }
    got = waiting;
    if (got < size && std::feof(reader.file) == 0 && std::ferror(reader.file) == 0) {
        got += std::fread(bytes + waiting, 1, size - waiting, reader.file);
    }
    reader.position += got;
    if (got == size) {
        return ctf_read_result::ok;
    }
    return std::ferror(reader.file) != 0 ? ctf_read_result::read_error : ctf_read_result::ended_early;
}

} // namespace

ctf_header decode_ctf_header(const std::uint8_t (&bytes)[ctf_header_size])
{
    const auto field = static_cast<std::uint16_t>(bytes[4] | (bytes[5] << 8));
    return ctf_header{static_cast<std::int16_t>(field)};
}

ctf_block_descriptor decode_ctf_block_descriptor(const std::uint8_t (&bytes)[ctf_descriptor_size],
                                                 std::uint64_t position_after)
{
    const std::uint32_t raw = static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
                              (static_cast<std::uint32_t>(bytes[2]) << 16) |
                              (static_cast<std::uint32_t>(bytes[3]) << 24);
    const auto end_offset = static_cast<std::int32_t>(raw);
    // The difference is taken in 64 bits: a negative end offset must give no
    // samples rather than wrap around to a huge positive count.
    const std::int64_t remaining = std::int64_t{end_offset} - static_cast<std::int64_t>(position_after);
    return ctf_block_descriptor{end_offset, bytes[4], remaining};
}

std::int32_t ctf_block_count(const ctf_header& header)
{
    return std::max(header.block_count_field - 1, 0);
}

std::span<const std::uint8_t> peek_ctf_start(ctf_reader& reader, std::size_t size)
{
    assert(size <= ctf_lookahead_capacity && reader.position == 0 && reader.lookahead_end == 0);
    reader.lookahead_next = 0;
    reader.lookahead_end = std::fread(reader.lookahead, 1, size, reader.file);
    return {reader.lookahead, reader.lookahead_end};
}

ctf_read_result read_ctf_header(ctf_reader& reader, ctf_header& header)
{
    std::uint8_t bytes[ctf_header_size];
    std::size_t got = 0;
    const ctf_read_result result = read_exactly(reader, bytes, sizeof bytes, got);
    if (result == ctf_read_result::ok) {
        header = decode_ctf_header(bytes);
    }
    return result;
}

ctf_read_result read_ctf_block_descriptor(ctf_reader& reader, ctf_block_descriptor& block)
{
    std::uint8_t bytes[ctf_descriptor_size];
    std::size_t got = 0;
    const ctf_read_result result = read_exactly(reader, bytes, sizeof bytes, got);
    if (result == ctf_read_result::ok) {
        block = decode_ctf_block_descriptor(bytes, reader.position);
    }
    return result;
}

ctf_read_result read_ctf_chunk(ctf_reader& reader, ctf_block_descriptor& block,
                               std::uint8_t (&chunk)[ctf_chunk_size], std::size_t& length)
{
    assert(block.remaining > 0);
    const auto request = static_cast<std::size_t>(std::min<std::int64_t>(block.remaining, ctf_chunk_size));
    block.remaining -= static_cast<std::int64_t>(request);
    return read_exactly(reader, chunk, request, length);
}

} // namespace velmora

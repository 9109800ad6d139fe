#include "tape_files/ctf_file.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace velmora {
namespace {

// Makes at least `size` (at most the buffer's size) bytes wait in the
// buffer, unless the stream ends or fails first. The bytes waiting move to
// the front only when the rest of the buffer cannot hold the request. A
// stream that has ended or failed is not read again, so a short look-ahead
// is reported by the read that needs more than it holds.
void fill(ctf_reader& reader, std::size_t size)
{
    assert(size <= reader.buffer.size() && reader.buffer.size() >= ctf_min_buffer_size);
    if (reader.end - reader.next >= size || std::feof(reader.file) != 0 || std::ferror(reader.file) != 0) {
        return;
    }
    if (reader.buffer.size() - reader.next < size) {
        std::memmove(reader.buffer.data(), reader.buffer.data() + reader.next, reader.end - reader.next);
        reader.end -= reader.next;
        reader.next = 0;
    }
    // fread returns less than asked only at the end of the stream or after
    // an error.
    const std::size_t request =
        reader.read_ahead ? reader.buffer.size() - reader.end : size - (reader.end - reader.next);
    reader.end += std::fread(reader.buffer.data() + reader.end, 1, request, reader.file);
}

// Hands out up to `size` bytes waiting in the buffer after filling it:
// `size` unless the stream ended or failed first.
ctf_read_result take(ctf_reader& reader, std::size_t size, std::span<const std::uint8_t>& taken)
{
    fill(reader, size);
    const std::size_t got = std::min(size, reader.end - reader.next);
    taken = {reader.buffer.data() + reader.next, got};
    reader.next += got;
    reader.position += got;
    if (got == size) {
        return ctf_read_result::ok;
    }
    return std::ferror(reader.file) != 0 ? ctf_read_result::read_error : ctf_read_result::ended_early;
}

// take() into a small array of the caller's: the whole array or a failure.
template <std::size_t size>
ctf_read_result take_copy(ctf_reader& reader, std::uint8_t (&bytes)[size])
{
    std::span<const std::uint8_t> taken;
    const ctf_read_result result = take(reader, size, taken);
    std::copy(taken.begin(), taken.end(), bytes);
    return result;
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
    assert(size <= ctf_min_buffer_size && reader.position == 0 && reader.end == 0);
    fill(reader, size);
    return {reader.buffer.data(), std::min(size, reader.end)};
}

ctf_read_result read_ctf_header(ctf_reader& reader, ctf_header& header)
{
    std::uint8_t bytes[ctf_header_size];
    const ctf_read_result result = take_copy(reader, bytes);
    if (result == ctf_read_result::ok) {
        header = decode_ctf_header(bytes);
    }
    return result;
}

ctf_read_result read_ctf_block_descriptor(ctf_reader& reader, ctf_block_descriptor& block)
{
    std::uint8_t bytes[ctf_descriptor_size];
    const ctf_read_result result = take_copy(reader, bytes);
    if (result == ctf_read_result::ok) {
        block = decode_ctf_block_descriptor(bytes, reader.position);
    }
    return result;
}

ctf_read_result read_ctf_chunk(ctf_reader& reader, ctf_block_descriptor& block, std::span<const std::uint8_t>& chunk)
{
    assert(block.remaining > 0);
    const auto request = static_cast<std::size_t>(std::min<std::int64_t>(block.remaining, ctf_chunk_size));
    block.remaining -= static_cast<std::int64_t>(request);
    return take(reader, request, chunk);
}

} // namespace velmora

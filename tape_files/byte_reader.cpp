#include "tape_files/byte_reader.h"

#include <cassert>
#include <cstring>

namespace velmora {
namespace {

// Makes at least `size` (at most the buffer's size) bytes wait in the
// buffer, unless the stream ends or fails first. The bytes waiting move to
// the front only when the rest of the buffer cannot hold the request. A
// stream that has ended or failed is not read again, so a short look-ahead
// is reported by the read that needs more than it holds.
void fill(byte_reader& reader, std::size_t size)
{
    assert(size <= reader.buffer.size() && reader.buffer.size() >= byte_reader_min_buffer_size);
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

} // namespace

std::span<const std::uint8_t> peek_bytes(byte_reader& reader, std::size_t size)
{
    assert(size <= byte_reader_min_buffer_size && reader.position == 0 && reader.end == 0);
    fill(reader, size);
    return {reader.buffer.data(), std::min(size, reader.end)};
}

read_result take_bytes(byte_reader& reader, std::size_t size, std::span<const std::uint8_t>& taken)
{
    assert(size <= byte_reader_min_buffer_size);
    fill(reader, size);
    const std::size_t got = std::min(size, reader.end - reader.next);
    taken = {reader.buffer.data() + reader.next, got};
    reader.next += got;
    reader.position += got;
    if (got == size) {
        return read_result::ok;
    }
    return std::ferror(reader.file) != 0 ? read_result::read_error : read_result::ended_early;
}

} // namespace velmora

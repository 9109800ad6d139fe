// Reading a stream strictly front to back, once, without seeking, so that a
// pipe works as input: the byte reader under both file readers (the CTF
// capture's and the TAP image's), which give its bytes their meaning.
#ifndef VELMORA_TAPE_FILES_BYTE_READER_H
#define VELMORA_TAPE_FILES_BYTE_READER_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

namespace velmora {

// Smallest buffer a reader works with; a look-ahead or a single read is at
// most this long.
inline constexpr std::size_t byte_reader_min_buffer_size = 2048;

// The input stream, the caller's buffer for bytes taken from it ahead of
// being handed out, and how many bytes have been handed out. Reading ahead,
// the stream is read as far as the buffer allows at a time, so a larger
// buffer means fewer and larger reads, and it may be read past what is
// handed out; a read then waits until the buffer is full or the stream
// ends. The position is counted, never asked of the stream, so a pipe reads
// like a file. The reader never closes the stream.
struct byte_reader {
    std::FILE* file;
    std::span<std::uint8_t> buffer; // at least byte_reader_min_buffer_size bytes
    bool read_ahead = true;         // false: take from the stream only the bytes asked for
    std::uint64_t position = 0;
    std::size_t next = 0; // buffer[next, end): taken from the stream, not yet handed out
    std::size_t end = 0;
};

enum class read_result {
    ok,
    ended_early, // the stream ended before all requested bytes
    read_error,  // the stream reported an error
};

// The first `size` (at most byte_reader_min_buffer_size) bytes of the
// stream, taken from it but not handed out: the reads that follow return
// them first, so the stream is still read once, front to back. Fewer arrive
// when the stream ends or fails first; the read that reaches that point
// reports it. Valid until the next read. Call before anything else is read.
std::span<const std::uint8_t> peek_bytes(byte_reader& reader, std::size_t size);

// Hands out the next `size` (at most byte_reader_min_buffer_size) bytes as
// `taken`, a view into the reader's buffer valid until the next read.
// `taken` holds the bytes that actually arrived: fewer than `size` only with
// a result other than ok.
read_result take_bytes(byte_reader& reader, std::size_t size, std::span<const std::uint8_t>& taken);

// Takes the `size` bytes of a fixed-size record and, only if all of them
// arrived, sets `record` to decode(bytes), bytes being a `const
// std::uint8_t (&)[size]`; `record` is left alone otherwise.
template <std::size_t size, typename record_type, typename decoder>
read_result take_record(byte_reader& reader, record_type& record, decoder&& decode)
{
    std::span<const std::uint8_t> taken;
    const read_result result = take_bytes(reader, size, taken);
    if (result == read_result::ok) {
        std::uint8_t bytes[size];
        std::copy(taken.begin(), taken.end(), bytes);
        record = decode(bytes);
    }
    return result;
}

} // namespace velmora

#endif

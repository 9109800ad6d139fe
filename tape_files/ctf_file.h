// CTF capture files: a 6-byte header, then blocks of 1-bit samples, each block
// a 5-byte descriptor followed by its sample bytes. Read strictly front to
// back, once, without seeking, so that a pipe works as input.
#ifndef VELMORA_TAPE_FILES_CTF_FILE_H
#define VELMORA_TAPE_FILES_CTF_FILE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

namespace velmora {

inline constexpr std::size_t ctf_header_size = 6;
inline constexpr std::size_t ctf_descriptor_size = 5;
// Sample bytes handed on per read; the last chunk of a block may be shorter.
inline constexpr std::size_t ctf_chunk_size = 2048;

struct ctf_header {
    // One more than the number of blocks that follow (signed 16-bit in the
    // file, sign-extended): 1 means an empty capture, 0 or below no blocks.
    std::int32_t block_count_field;
};

struct ctf_block_descriptor {
    std::int32_t end_offset;    // absolute file offset just past this block's samples
    std::uint8_t sample_period; // length of one sample, constant within the block
    std::int64_t remaining;     // sample bytes not yet read; 0 or below means none
};

// Smallest buffer a reader works with: one whole chunk.
inline constexpr std::size_t ctf_min_buffer_size = ctf_chunk_size;

// The input stream, the caller's buffer for bytes taken from it ahead of
// being handed out, and how many bytes have been handed out. Reading ahead,
// the stream is read as far as the buffer allows at a time, so a larger
// buffer means fewer and larger reads, and it may be read past the end of
// the capture; a read then waits until the buffer is full or the stream
// ends. The position is counted, never asked of the stream, so a pipe reads
// like a file.
struct ctf_reader {
    std::FILE* file;
    std::span<std::uint8_t> buffer; // at least ctf_min_buffer_size bytes
    bool read_ahead = true;         // false: take from the stream only the bytes asked for
    std::uint64_t position = 0;
    std::size_t next = 0; // buffer[next, end): taken from the stream, not yet handed out
    std::size_t end = 0;
};

enum class ctf_read_result {
    ok,
    ended_early, // the file ended before all requested bytes
    read_error,  // the stream reported an error
};

// Fields of the 6 header bytes; bytes 0 to 3 are never looked at.
ctf_header decode_ctf_header(const std::uint8_t (&bytes)[ctf_header_size]);

// Fields of a descriptor whose 5 bytes end at file offset `position_after`.
// A block whose end offset does not lie beyond `position_after` has no samples.
ctf_block_descriptor decode_ctf_block_descriptor(const std::uint8_t (&bytes)[ctf_descriptor_size],
                                                 std::uint64_t position_after);

// Number of blocks the header announces (0 for a field of 1 or below).
std::int32_t ctf_block_count(const ctf_header& header);

// The first `size` (at most ctf_min_buffer_size) bytes of the stream, taken
// from it but not handed out: the reads that follow return them first, so
// the stream is still read once, front to back. Fewer arrive when the stream
// ends or fails first; the read that reaches that point reports it. Valid
// until the next read. Call before anything else is read.
std::span<const std::uint8_t> peek_ctf_start(ctf_reader& reader, std::size_t size);

ctf_read_result read_ctf_header(ctf_reader& reader, ctf_header& header);
ctf_read_result read_ctf_block_descriptor(ctf_reader& reader, ctf_block_descriptor& block);

// Hands out the block's next min(remaining, ctf_chunk_size) bytes as
// `chunk`, a view into the reader's buffer valid until the next read, and
// lowers `remaining` by that request. `chunk` holds the bytes that actually
// arrived: fewer than requested only with a result other than ok. Call only
// while block.remaining > 0.
ctf_read_result read_ctf_chunk(ctf_reader& reader, ctf_block_descriptor& block, std::span<const std::uint8_t>& chunk);

} // namespace velmora

#endif

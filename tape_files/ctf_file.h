// CTF capture files: a 6-byte header, then blocks of 1-bit samples, each block
// a 5-byte descriptor followed by its sample bytes. Read through a byte
// reader, strictly front to back, once, without seeking, so that a pipe
// works as input.
#ifndef VELMORA_TAPE_FILES_CTF_FILE_H
#define VELMORA_TAPE_FILES_CTF_FILE_H

#include "tape_files/byte_reader.h"

#include <cstddef>
#include <cstdint>
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

// Smallest buffer a capture's reader works with: one whole chunk.
inline constexpr std::size_t ctf_min_buffer_size = byte_reader_min_buffer_size;
static_assert(ctf_chunk_size <= ctf_min_buffer_size, "a chunk is taken in one read");

// A capture is read with a byte reader; its results are the byte reader's.
using ctf_reader = byte_reader;
using ctf_read_result = read_result;

// Fields of the 6 header bytes; bytes 0 to 3 are never looked at.
ctf_header decode_ctf_header(const std::uint8_t (&bytes)[ctf_header_size]);

// Fields of a descriptor whose 5 bytes end at file offset `position_after`.
// A block whose end offset does not lie beyond `position_after` has no samples.
ctf_block_descriptor decode_ctf_block_descriptor(const std::uint8_t (&bytes)[ctf_descriptor_size],
                                                 std::uint64_t position_after);

// Number of blocks the header announces (0 for a field of 1 or below).
std::int32_t ctf_block_count(const ctf_header& header);

// True if the header marks the capture as empty (a block count field of 1).
constexpr bool ctf_capture_marked_empty(const ctf_header& header)
{
    return header.block_count_field == 1;
}

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

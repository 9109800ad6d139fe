// TAP images, variant "C16-TAPE-RAW" for PAL machines: a 20-byte header, then
// pulse entries (see tap_entry.h). Written front to back; only the header is
// rewritten, once, at the end, to patch in the data size.
#ifndef VELMORA_TAPE_FILES_TAP_FILE_H
#define VELMORA_TAPE_FILES_TAP_FILE_H

#include "tape_files/tap_entry.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

namespace velmora {

inline constexpr std::size_t tap_header_size = 20;
inline constexpr char tap_signature[] = "C16-TAPE-RAW"; // stored without the terminator
inline constexpr std::uint8_t tap_platform_c16 = 2;
inline constexpr std::uint8_t tap_video_pal = 0;
inline constexpr std::uint8_t tap_video_ntsc = 1;
// Every raw TAP image, of any machine ("C16-TAPE-RAW", "C64-TAPE-RAW"), has
// this at offset tap_kind_offset; bytes that do not are no TAP image.
inline constexpr char tap_kind_marker[] = "-TAPE-RAW"; // stored without the terminator
inline constexpr std::size_t tap_kind_offset = 3;
inline constexpr std::size_t tap_recognition_size = tap_kind_offset + sizeof tap_kind_marker - 1;
// Written between two blocks: two entries of 98304 cycles each.
inline constexpr std::uint8_t tap_block_gap[] = {0x00, 0x00, 0x80, 0x01, 0x00, 0x00, 0x80, 0x01};

struct tap_header {
    std::uint8_t version;    // 1: full waves, 2: half waves
    std::uint32_t data_size; // bytes after the header; 0 until the image is finished
};

// The output stream, the caller's buffer where data gathers before it is
// written in one piece, and the number of bytes of data after the header.
// The writer owns the stream from the start: finish_tap_file closes it, or
// close_unfinished_tap_file when the image is given up; `file` is null once
// it is closed.
struct tap_writer {
    std::FILE* file;
    std::span<std::uint8_t> buffer;
    std::uint64_t data_size = 0; // written or waiting in the buffer
    std::size_t waiting = 0;     // buffer[0, waiting): data not yet written
};

// True if the first `size` bytes of a file mark it as a raw TAP image of any
// machine; needs tap_recognition_size bytes, fewer never match.
bool is_tap_image_start(const std::uint8_t* bytes, std::size_t size);

void encode_tap_header(const tap_header& header, std::uint8_t (&bytes)[tap_header_size]);

// Each write returns false on the first failure; the image is then unusable.
// The header goes straight to the stream, before any data.
[[nodiscard]] bool write_tap_header(tap_writer& writer, const tap_header& header);

// Room for `size` (at most the buffer's size) bytes of data after the data
// so far, in the writer's buffer, valid until the next call on the writer;
// what waits there is written out first when the room is short. Null if
// that write fails.
[[nodiscard]] std::uint8_t* reserve_tap_data(tap_writer& writer, std::size_t size);
// Takes the first `size` bytes of the room last reserved as data. False if
// the data size would no longer fit in the header's 32 bits; nothing is
// taken then.
[[nodiscard]] bool commit_tap_data(tap_writer& writer, std::size_t size);

// Copies `size` (at most the buffer's size) bytes as data.
[[nodiscard]] bool write_tap_data(tap_writer& writer, const std::uint8_t* bytes, std::size_t size);
[[nodiscard]] bool write_tap_block_gap(tap_writer& writer);

// Writes out the data waiting, stores the bytes after the header as its data
// size, rewrites the header at offset 0 and closes the stream, which is
// closed whatever the result. Fails if any of these steps fails.
[[nodiscard]] bool finish_tap_file(tap_writer& writer, tap_header& header);

// Closes the stream of an image that was not finished (nothing if it is
// closed already), without writing the data waiting. False if the close
// fails, a write failure for a stream that was written to.
[[nodiscard]] bool close_unfinished_tap_file(tap_writer& writer);

} // namespace velmora

#endif

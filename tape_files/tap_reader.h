// Reading raw TAP images front to back through a byte reader: the 20-byte
// header, then the entry stream, fed in pieces of any size so that an image
// of any length is read in constant memory. The reader never includes the
// CTF side.
#ifndef VELMORA_TAPE_FILES_TAP_READER_H
#define VELMORA_TAPE_FILES_TAP_READER_H

#include "tape_files/byte_reader.h"
#include "tape_files/little_endian.h"
#include "tape_files/tap_file.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velmora {

// The header of an image of any machine, fields as stored.
struct tap_image_header {
    char signature[12];          // "C16-TAPE-RAW", "C64-TAPE-RAW", ...; no terminator
    std::uint8_t version;        // 0: a 0 byte is an entry of its own; 1 and 2: it opens a 4-byte entry
    std::uint8_t platform;       // 0 C64, 1 VIC-20, 2 C16 family, ...
    std::uint8_t video_standard; // 0 PAL, 1 NTSC, ...
    std::uint8_t reserved;
    std::uint32_t data_size;     // the bytes after the header, as the header states them
};

// Fields of the 20 header bytes, the data size read little-endian.
tap_image_header decode_tap_image_header(const std::uint8_t (&bytes)[tap_header_size]);

// Bytes of the entry stream handed out by one read_tap_data.
inline constexpr std::size_t tap_data_piece_size = byte_reader_min_buffer_size;

// Reads the header from the start of the image.
read_result read_tap_image_header(byte_reader& reader, tap_image_header& header);

// Hands out the next tap_data_piece_size bytes after the header as `piece`,
// a view into the reader's buffer valid until the next read. `piece` holds
// the bytes that actually arrived: fewer only with a result other than ok,
// ended_early at the end of the image.
read_result read_tap_data(byte_reader& reader, std::span<const std::uint8_t>& piece);

// Where the entry stream stands between two pieces: the bytes of a 4-byte
// entry that the last piece cut are held until the next piece completes it.
struct tap_entry_stream {
    std::uint8_t version; // of the image's header
    std::uint8_t held[3];
    std::uint8_t held_size;
};

// True if the pieces fed so far end inside a 4-byte entry: an image that
// ends here is cut short.
constexpr bool tap_entry_cut(const tap_entry_stream& stream)
{
    return stream.held_size != 0;
}

// Reads the entries of the next `size` bytes of the stream, in order. A
// stretch of one-byte entries goes to visit_run(bytes, count): each byte b
// other than 0 is a pulse of b × 8 cycles, and in version 0 a 0 byte is a
// pulse of unstated length. In versions 1 and 2 a 0 byte and the three
// bytes after it are one entry, passed as visit_long(cycles) with its 24-bit
// cycle count, least significant byte first. A 4-byte entry cut at the end
// of the piece is held for the next one.
template <typename run_visitor, typename long_visitor>
void read_tap_entries(tap_entry_stream& stream, const std::uint8_t* bytes, std::size_t size,
                      run_visitor&& visit_run, long_visitor&& visit_long)
{
    std::size_t at = 0;
    if (stream.held_size != 0) {
        const std::size_t missing = tap_max_entry_size - stream.held_size;
        if (size < missing) {
            for (; at < size; ++at) {
                stream.held[stream.held_size++] = bytes[at];
            }
            return;
        }
        std::uint8_t entry[tap_max_entry_size] = {};
        for (std::size_t i = 0; i < stream.held_size; ++i) {
            entry[i] = stream.held[i];
        }
        for (; at < missing; ++at) {
            entry[stream.held_size + at] = bytes[at];
        }
        stream.held_size = 0;
        visit_long(read_little_endian(entry + 1, 3));
    }
    if (stream.version == 0) {
        if (at < size) {
            visit_run(bytes + at, size - at);
        }
        return;
    }
    while (at < size) {
        const void* const zero = std::memchr(bytes + at, 0, size - at);
        const std::size_t end = zero == nullptr ? size : static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - bytes);
        if (end > at) {
            visit_run(bytes + at, end - at);
        }
        at = end;
        if (at == size) {
            return;
        }
        if (size - at < tap_max_entry_size) {
            for (; at < size; ++at) {
                stream.held[stream.held_size++] = bytes[at];
            }
            return;
        }
        visit_long(read_little_endian(bytes + at + 1, 3));
        at += tap_max_entry_size;
    }
}

} // namespace velmora

#endif

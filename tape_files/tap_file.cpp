#include "tape_files/tap_file.h"

#include "tape_files/little_endian.h"

#include <cassert>
#include <cstring>
#include <limits>

namespace velmora {
namespace {

constexpr std::size_t tap_signature_size = sizeof tap_signature - 1;
constexpr std::uint64_t tap_max_data_size = std::numeric_limits<std::uint32_t>::max();

bool write_all(std::FILE* file, const std::uint8_t* bytes, std::size_t size)
{
    return size == 0 || std::fwrite(bytes, 1, size, file) == size;
}

} // namespace

bool is_tap_image_start(const std::uint8_t* bytes, std::size_t size)
{
    static_assert(tap_recognition_size == 12);
    return size >= tap_recognition_size &&
           std::memcmp(bytes + tap_kind_offset, tap_kind_marker, sizeof tap_kind_marker - 1) == 0;
}

void encode_tap_header(const tap_header& header, std::uint8_t (&bytes)[tap_header_size])
{
    static_assert(tap_signature_size + 8 == tap_header_size);
    std::memcpy(bytes, tap_signature, tap_signature_size);
    bytes[12] = header.version;
    bytes[13] = tap_platform_c16;
    bytes[14] = tap_video_pal;
    bytes[15] = 0;
    write_little_endian(bytes + 16, header.data_size, 4);
}

bool write_tap_header(tap_writer& writer, const tap_header& header)
{
    std::uint8_t bytes[tap_header_size];
    encode_tap_header(header, bytes);
    return write_all(writer.file, bytes, sizeof bytes);
}

std::uint8_t* reserve_tap_data(tap_writer& writer, std::size_t size)
{
    assert(size <= writer.buffer.size());
    if (writer.buffer.size() - writer.waiting < size) {
        if (!write_all(writer.file, writer.buffer.data(), writer.waiting)) {
            return nullptr;
        }
        writer.waiting = 0;
    }
    return writer.buffer.data() + writer.waiting;
}

bool commit_tap_data(tap_writer& writer, std::size_t size)
{
    assert(size <= writer.buffer.size() - writer.waiting);
    // Stop as soon as the size can no longer be stored in the header.
    if (writer.data_size + size > tap_max_data_size) {
        return false;
    }
    writer.data_size += size;
    writer.waiting += size;
    return true;
}

bool write_tap_data(tap_writer& writer, const std::uint8_t* bytes, std::size_t size)
{
    std::uint8_t* const room = reserve_tap_data(writer, size);
    if (room == nullptr) {
        return false;
    }
    std::memcpy(room, bytes, size);
    return commit_tap_data(writer, size);
}

bool write_tap_block_gap(tap_writer& writer)
{
    return write_tap_data(writer, tap_block_gap, sizeof tap_block_gap);
}

bool finish_tap_file(tap_writer& writer, tap_header& header)
{
    header.data_size = static_cast<std::uint32_t>(writer.data_size);
    std::FILE* const file = writer.file;
    writer.file = nullptr;
    std::uint8_t bytes[tap_header_size];
    encode_tap_header(header, bytes);
    // The entries waiting are written and flushed before the seek, so that a
    // failure to write them is seen here and not lost with the buffer.
    const bool patched = write_all(file, writer.buffer.data(), writer.waiting) && std::fflush(file) == 0 &&
                         std::fseek(file, 0, SEEK_SET) == 0 && write_all(file, bytes, sizeof bytes);
    writer.waiting = 0;
    const bool closed = std::fclose(file) == 0;
    return patched && closed;
}

bool close_unfinished_tap_file(tap_writer& writer)
{
    std::FILE* const file = writer.file;
    writer.file = nullptr;
    writer.waiting = 0;
    return file == nullptr || std::fclose(file) == 0;
}

} // namespace velmora

#include "tape_files/ctf_file.h"
#include "tape_files/tap_file.h"
#include "test_support/capture_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include <unistd.h>

namespace velmora {
namespace {

using bytes = std::vector<std::uint8_t>;

bytes encode(std::uint64_t value)
{
    std::uint8_t buffer[tap_max_entry_size] = {};
    std::uint8_t* const end = put_tap_entry(buffer, value);
    return bytes(buffer, end);
}

struct entry_case {
    std::uint64_t value;
    bytes encoded;
};

class tap_entry_encoding : public testing::TestWithParam<entry_case> {};

TEST_P(tap_entry_encoding, writes_the_expected_bytes)
{
    EXPECT_EQ(encode(GetParam().value), GetParam().encoded);
}

INSTANTIATE_TEST_SUITE_P(
    boundaries, tap_entry_encoding,
    testing::Values(entry_case{0, {0x01}},                        // a 0 byte would open a 4-byte entry
                    entry_case{1, {0x01}}, entry_case{255, {0xFF}}, entry_case{256, {0x00, 0x00, 0x08, 0x00}},
                    entry_case{2626, {0x00, 0x10, 0x52, 0x00}}, entry_case{12288, {0x00, 0x00, 0x80, 0x01}},
                    entry_case{0x1FFFFF, {0x00, 0xF8, 0xFF, 0xFF}},
                    entry_case{0x200000, {0x00, 0xF8, 0xFF, 0xFF}},     // clamped, not wrapped to 0
                    entry_case{0x100000100, {0x00, 0xF8, 0xFF, 0xFF}}, // low 32 bits would be 256
                    entry_case{~std::uint64_t{0}, {0x00, 0xF8, 0xFF, 0xFF}}));

TEST(tap_header, encodes_signature_version_platform_and_size_little_endian)
{
    std::uint8_t encoded[tap_header_size];
    encode_tap_header(tap_header{2, 0x12345678}, encoded);
    const bytes expected = {'C', '1', '6', '-', 'T', 'A', 'P', 'E', '-', 'R', 'A', 'W',
                            2,   2,   0,   0,   0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(bytes(encoded, encoded + tap_header_size), expected);
}

TEST(tap_block_gap, is_two_entries_of_98304_cycles)
{
    bytes twice = encode(98304 / 8);
    const bytes once = twice;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(bytes(std::begin(tap_block_gap), std::end(tap_block_gap)), twice);
}

struct header_case {
    std::uint8_t low;
    std::uint8_t high;
    std::int32_t field;
    std::int32_t blocks;
};

class ctf_header_field : public testing::TestWithParam<header_case> {};

TEST_P(ctf_header_field, is_signed_and_counts_one_more_than_the_blocks)
{
    // The first four bytes are never looked at.
    const std::uint8_t raw[ctf_header_size] = {0xDE, 0xAD, 0xBE, 0xEF, GetParam().low, GetParam().high};
    const ctf_header header = decode_ctf_header(raw);
    EXPECT_EQ(header.block_count_field, GetParam().field);
    EXPECT_EQ(ctf_block_count(header), GetParam().blocks);
}

INSTANTIATE_TEST_SUITE_P(fields, ctf_header_field,
                         testing::Values(header_case{0, 0, 0, 0}, header_case{1, 0, 1, 0}, header_case{2, 0, 2, 1},
                                         header_case{3, 0, 3, 2}, header_case{0xFF, 0x7F, 32767, 32766},
                                         header_case{0x00, 0x80, -32768, 0}, header_case{0xFF, 0xFF, -1, 0}));

struct descriptor_case {
    std::uint32_t end_offset;
    std::uint64_t position_after;
    std::int64_t remaining;
};

class ctf_descriptor : public testing::TestWithParam<descriptor_case> {};

TEST_P(ctf_descriptor, gives_the_sample_bytes_between_descriptor_and_end_offset)
{
    const std::uint32_t end = GetParam().end_offset;
    const std::uint8_t raw[ctf_descriptor_size] = {static_cast<std::uint8_t>(end), static_cast<std::uint8_t>(end >> 8),
                                                   static_cast<std::uint8_t>(end >> 16),
                                                   static_cast<std::uint8_t>(end >> 24), 0xC8};
    const ctf_block_descriptor block = decode_ctf_block_descriptor(raw, GetParam().position_after);
    EXPECT_EQ(block.sample_period, 0xC8);
    EXPECT_EQ(block.remaining, GetParam().remaining);
}

INSTANTIATE_TEST_SUITE_P(
    offsets, ctf_descriptor,
    testing::Values(descriptor_case{5011, 11, 5000}, descriptor_case{11, 11, 0}, descriptor_case{3, 11, -8},
                    descriptor_case{0x7FFFFFFF, 11, 0x7FFFFFFF - 11},
                    // A negative end offset has no samples; it must not wrap to 2 GiB of them.
                    descriptor_case{0x80000000, 11, -0x80000000LL - 11}, descriptor_case{0xFFFFFFFF, 11, -12}));

std::FILE* file_holding(const bytes& content)
{
    std::FILE* const file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    // An empty vector's data() may be null, which fwrite must never see.
    if (!content.empty()) {
        EXPECT_EQ(std::fwrite(content.data(), 1, content.size(), file), content.size());
    }
    std::rewind(file);
    return file;
}

TEST(ctf_reading, splits_a_block_into_full_chunks_and_the_rest)
{
    const bytes image = capture::ctf_image({capture::block{20, bytes(5000, 0x5A)}});
    std::FILE* const file = file_holding(image);
    std::uint8_t buffer[ctf_min_buffer_size];
    ctf_reader reader{file, buffer};
    ctf_header header{};
    ASSERT_EQ(read_ctf_header(reader, header), ctf_read_result::ok);
    ctf_block_descriptor block{};
    ASSERT_EQ(read_ctf_block_descriptor(reader, block), ctf_read_result::ok);
    std::vector<std::size_t> lengths;
    while (block.remaining > 0) {
        std::span<const std::uint8_t> chunk;
        ASSERT_EQ(read_ctf_chunk(reader, block, chunk), ctf_read_result::ok);
        lengths.push_back(chunk.size());
    }
    EXPECT_EQ(lengths, (std::vector<std::size_t>{2048, 2048, 904}));
    EXPECT_EQ(reader.position, image.size());
    std::fclose(file);
}

TEST(ctf_reading, reports_bytes_actually_read_when_the_file_ends_early)
{
    bytes image = capture::ctf_image({capture::block{20, bytes(3000, 0x5A)}});
    image.resize(image.size() - 1000);
    std::FILE* const file = file_holding(image);
    std::uint8_t buffer[ctf_min_buffer_size];
    ctf_reader reader{file, buffer};
    ctf_header header{};
    ctf_block_descriptor block{};
    ASSERT_EQ(read_ctf_header(reader, header), ctf_read_result::ok);
    ASSERT_EQ(read_ctf_block_descriptor(reader, block), ctf_read_result::ok);
    std::span<const std::uint8_t> chunk;
    ASSERT_EQ(read_ctf_chunk(reader, block, chunk), ctf_read_result::ended_early);
    EXPECT_EQ(chunk.size(), 2000U);
    EXPECT_EQ(read_ctf_block_descriptor(reader, block), ctf_read_result::ended_early);
    std::fclose(file);
}

// What a reader hands out from the start of a capture: each read's result,
// the fields it decoded and the sample bytes that arrived.
std::string read_through(ctf_reader& reader)
{
    std::string seen;
    ctf_header header{};
    ctf_read_result result = read_ctf_header(reader, header);
    seen += std::to_string(static_cast<int>(result)) + " " + std::to_string(header.block_count_field) + ";";
    ctf_block_descriptor block{};
    result = result == ctf_read_result::ok ? read_ctf_block_descriptor(reader, block) : result;
    seen += std::to_string(static_cast<int>(result)) + " " + std::to_string(block.remaining) + ";";
    while (result == ctf_read_result::ok && block.remaining > 0) {
        std::span<const std::uint8_t> chunk;
        result = read_ctf_chunk(reader, block, chunk);
        seen += std::to_string(static_cast<int>(result)) + " " + std::string(chunk.begin(), chunk.end()) + ";";
    }
    return seen + std::to_string(reader.position);
}

// A reader's buffer and reading ahead decide only how the stream is read,
// never what is handed out: chunks that straddle the end of what one read
// brought must come out whole, whatever the buffer's size.
TEST(ctf_reading, hands_out_the_same_bytes_whatever_its_buffer_size)
{
    bytes first(3001);
    bytes second(4099);
    for (std::size_t i = 0; i < first.size(); ++i) {
        first[i] = static_cast<std::uint8_t>(i * 7);
    }
    for (std::size_t i = 0; i < second.size(); ++i) {
        second[i] = static_cast<std::uint8_t>(i * 13 + 1);
    }
    const bytes image = capture::ctf_image({capture::block{20, first}, capture::block{40, second}});
    // Header, both descriptors and every sample byte, in the order read.
    const auto read_all = [&image](std::size_t buffer_size, bool read_ahead) {
        std::FILE* const file = file_holding(image);
        std::vector<std::uint8_t> buffer(buffer_size);
        ctf_reader reader{file, buffer, read_ahead};
        std::string seen;
        ctf_header header{};
        EXPECT_EQ(read_ctf_header(reader, header), ctf_read_result::ok);
        for (int block_number = 0; block_number < 2; ++block_number) {
            ctf_block_descriptor block{};
            EXPECT_EQ(read_ctf_block_descriptor(reader, block), ctf_read_result::ok);
            seen += "block " + std::to_string(block.remaining) + ";";
            while (block.remaining > 0) {
                std::span<const std::uint8_t> chunk;
                EXPECT_EQ(read_ctf_chunk(reader, block, chunk), ctf_read_result::ok);
                seen += std::string(chunk.begin(), chunk.end()) + ";";
            }
        }
        std::fclose(file);
        return seen;
    };
    const std::string whole = read_all(image.size(), true);
    for (const bool read_ahead : {true, false}) {
        for (const std::size_t size :
             {ctf_min_buffer_size, ctf_min_buffer_size + 1, std::size_t{3000}, std::size_t{4107}}) {
            SCOPED_TRACE("buffer of " + std::to_string(size) + " bytes, reading ahead: " + std::to_string(read_ahead));
            EXPECT_EQ(read_all(size, read_ahead), whole);
        }
    }
}

// Looking at the first bytes ahead, as the front end does to recognise a TAP
// image, must change nothing that is read afterwards, wherever the capture
// ends: inside the look-ahead, inside the header or descriptor, or later.
TEST(ctf_reading, looking_ahead_changes_nothing_that_is_read)
{
    const bytes whole = capture::ctf_image({capture::block{20, bytes{1, 2, 3, 4, 5, 6, 7, 8}}});
    for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
        SCOPED_TRACE("capture cut at " + std::to_string(cut));
        const bytes head(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
        std::FILE* const plain_file = file_holding(head);
        std::FILE* const peeked_file = file_holding(head);
        std::uint8_t plain_buffer[ctf_min_buffer_size];
        std::uint8_t peeked_buffer[ctf_min_buffer_size];
        ctf_reader plain{plain_file, plain_buffer};
        ctf_reader peeked{peeked_file, peeked_buffer};
        const std::span<const std::uint8_t> start = peek_bytes(peeked, tap_recognition_size);
        EXPECT_EQ(bytes(start.begin(), start.end()),
                  bytes(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(cut, 12))));
        EXPECT_EQ(read_through(peeked), read_through(plain));
        std::fclose(plain_file);
        std::fclose(peeked_file);
    }
}

TEST(tap_recognition, knows_an_image_of_any_machine_by_its_first_twelve_bytes)
{
    const auto recognised = [](const std::string& start) {
        return is_tap_image_start(reinterpret_cast<const std::uint8_t*>(start.data()), start.size());
    };
    EXPECT_TRUE(recognised("C16-TAPE-RAW"));
    EXPECT_TRUE(recognised("C64-TAPE-RAW\x01"));
    EXPECT_FALSE(recognised("C16-TAPE-RA"));  // too short to tell
    EXPECT_FALSE(recognised("C16-TAPE-RAX"));
    EXPECT_FALSE(recognised("C16_TAPE-RAW"));
}

TEST(tap_writing, patches_the_data_size_and_fails_on_a_stream_that_cannot_seek)
{
    std::FILE* const file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    const int copy = dup(fileno(file));
    // Only the gap fits: the data before it is written out to make room.
    std::uint8_t buffer[sizeof tap_block_gap];
    tap_writer writer{file, buffer};
    tap_header header{1, 0};
    ASSERT_TRUE(write_tap_header(writer, header));
    const std::uint8_t data[] = {1, 2, 3};
    ASSERT_TRUE(write_tap_data(writer, data, sizeof data));
    ASSERT_TRUE(write_tap_block_gap(writer));
    ASSERT_TRUE(finish_tap_file(writer, header));
    EXPECT_EQ(header.data_size, 11U);
    EXPECT_EQ(writer.file, nullptr);
    std::uint8_t written[tap_header_size + 12];
    ASSERT_EQ(pread(copy, written, sizeof written, 0), static_cast<ssize_t>(tap_header_size + 11));
    EXPECT_EQ(written[16], 11);
    EXPECT_EQ(written[20], 1);
    close(copy);

    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    tap_writer piped{fdopen(ends[1], "wb"), buffer};
    ASSERT_TRUE(write_tap_header(piped, header));
    EXPECT_FALSE(finish_tap_file(piped, header));
    close(ends[0]);
}

// The header's data size is 32 bits: 4 GiB - 1 bytes after the header is the
// most an image can hold. The writer's count is set just below it instead of
// writing 4 GiB.
TEST(tap_writing, accepts_data_up_to_the_largest_size_the_header_holds_and_not_a_byte_more)
{
    std::FILE* const file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    const int copy = dup(fileno(file));
    std::uint8_t buffer[64];
    tap_writer writer{file, buffer};
    tap_header header{2, 0};
    ASSERT_TRUE(write_tap_header(writer, header));
    writer.data_size = 0xFFFFFFFD;
    const std::uint8_t data[] = {1, 2};
    ASSERT_TRUE(write_tap_data(writer, data, sizeof data)) << "the last byte that fits is refused";
    ASSERT_TRUE(finish_tap_file(writer, header));
    EXPECT_EQ(header.data_size, 0xFFFFFFFFU);
    std::uint8_t written[tap_header_size];
    ASSERT_EQ(pread(copy, written, sizeof written, 0), static_cast<ssize_t>(sizeof written));
    EXPECT_EQ(bytes(written + 16, written + 20), (bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    close(copy);

    tap_writer full{std::tmpfile(), buffer, 0xFFFFFFFF};
    ASSERT_NE(full.file, nullptr);
    EXPECT_FALSE(write_tap_data(full, data, 1)) << "a byte past 4 GiB - 1 is accepted";
    EXPECT_FALSE(write_tap_block_gap(full));
    std::fclose(full.file);
}

} // namespace
} // namespace velmora

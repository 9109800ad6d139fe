// The conversion run on streams that fail: read errors part-way through the
// input and write errors on the output, which no ordinary file produces on
// demand. Streams made with fopencookie fail at a chosen byte.
#include "failing_stream.h"
#include "front_end/conversion_run.h"
#include "test_support/capture_builder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace velmora {
namespace {

using bytes = std::vector<std::uint8_t>;

using testing_support::failing_source;
using testing_support::open_failing_source;

std::string read_all(std::FILE* file)
{
    std::string content;
    std::rewind(file);
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        content.push_back(static_cast<char>(c));
    }
    return content;
}

const bytes capture_bytes = capture::ctf_image(
    {capture::block{20, capture::pack_phases(capture::random_phases(capture::pattern::tape, 3, 5000 * 8))},
     capture::block{40, capture::pack_phases(capture::random_phases(capture::pattern::tape, 4, 700 * 8))}});

// The image written up to a read error at `good` bytes is the image of the
// same capture ending there: everything that arrived is kept.
class read_error : public testing::TestWithParam<std::size_t> {};

TEST_P(read_error, keeps_what_was_read_like_an_early_end)
{
    const std::size_t good = GetParam();
    failing_source source{&capture_bytes, good, 0};
    std::FILE* const failing = open_failing_source(source);
    ASSERT_NE(failing, nullptr);
    std::FILE* const image = std::tmpfile();
    const int image_copy = dup(fileno(image));
    const run_outcome outcome = convert_streams(failing, image, wave_kind::half_waves);
    std::fclose(failing);
    EXPECT_EQ(outcome.status, run_status::unreadable_input);

    const bytes cut(capture_bytes.begin(), capture_bytes.begin() + static_cast<std::ptrdiff_t>(good));
    std::FILE* const cut_input = fmemopen(const_cast<std::uint8_t*>(cut.data()), cut.size(), "rb");
    std::FILE* const cut_image = std::tmpfile();
    const int cut_copy = dup(fileno(cut_image));
    EXPECT_EQ(convert_streams(cut_input, cut_image, wave_kind::half_waves).status, run_status::truncated_input);
    std::fclose(cut_input);

    std::FILE* const written = fdopen(image_copy, "rb");
    std::FILE* const expected = fdopen(cut_copy, "rb");
    EXPECT_EQ(read_all(written), read_all(expected));
    std::fclose(written);
    std::fclose(expected);
}

// In a descriptor, in a first chunk, at a chunk boundary, in the second block.
INSTANTIATE_TEST_SUITE_P(points, read_error, testing::Values(8, 11 + 100, 11 + 2048, 11 + 5000 + 5 + 300));

TEST(read_error, in_the_header_writes_nothing)
{
    failing_source source{&capture_bytes, 4, 0};
    std::FILE* const failing = open_failing_source(source);
    std::FILE* const image = std::tmpfile();
    const int image_copy = dup(fileno(image));
    EXPECT_EQ(convert_streams(failing, image, wave_kind::full_waves).status, run_status::unreadable_input);
    std::fclose(failing);
    std::FILE* const written = fdopen(image_copy, "rb");
    EXPECT_EQ(read_all(written), "");
    std::fclose(written);
}

ssize_t refuse_write(void*, const char*, std::size_t)
{
    errno = ENOSPC;
    return -1;
}

TEST(write_error, on_the_output_is_reported_as_such)
{
    std::FILE* const input = fmemopen(const_cast<std::uint8_t*>(capture_bytes.data()), capture_bytes.size(), "rb");
    cookie_io_functions_t functions{};
    functions.write = refuse_write;
    std::FILE* const output = fopencookie(nullptr, "wb", functions);
    EXPECT_EQ(convert_streams(input, output, wave_kind::half_waves).status, run_status::cannot_write_output);
    std::fclose(input);
}

TEST(report, gives_the_advice_before_the_truncation_message)
{
    const run_request request{"in.ctf", "out.tap", wave_kind::full_waves};
    std::FILE* const out = std::tmpfile();
    std::FILE* const err = std::tmpfile();
    EXPECT_EQ(report_outcome(run_outcome{run_status::unreadable_input, 201}, request, out, err), 5);
    EXPECT_EQ(read_all(out), "Usage of TAP version 2 is recommended\n");
    EXPECT_EQ(read_all(err), "It's impossible to read in.ctf\n");
    std::fclose(out);
    std::fclose(err);
}

} // namespace
} // namespace velmora

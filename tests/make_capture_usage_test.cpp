// The capture generator's usage: asked for with --help it is the answer, on
// standard output with status 0; after a wrong option it is an error report,
// on standard error with status 1.
#include "process_runner.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora::testing_support {
namespace {

const std::string usage_start = "usage: make_capture ";

TEST(make_capture_usage, help_prints_it_on_standard_output_with_status_0)
{
    const process_result run = run_process({VELMORA_MAKE_CAPTURE, "--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind(usage_start, 0), 0U) << run.out;
    EXPECT_EQ(run.err, "");
}

TEST(make_capture_usage, a_wrong_option_prints_it_on_standard_error_with_status_1)
{
    const process_result run = run_process({VELMORA_MAKE_CAPTURE, "--no-such-option", "out.ctf"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind(usage_start, 0), 0U) << run.err;
}

} // namespace
} // namespace velmora::testing_support

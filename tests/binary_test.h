// What the tests of the built binary share: a fresh folder per test, and a
// way to run velmora (the target's VELMORA_BINARY) and see what it printed.
#ifndef VELMORA_TESTS_BINARY_TEST_H
#define VELMORA_TESTS_BINARY_TEST_H

#include "process_runner.h"
#include "test_support/capture_builder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::testing_support {

inline const std::string banner = "velmora 1.0 - converts CTF tape captures to C16 TAP images (PAL)\n\n";

class binary_test : public testing::Test {
protected:
    void SetUp() override { folder = make_temp_dir(); }
    void TearDown() override { remove_tree(folder); }

    std::string path(const std::string& name) const { return folder + "/" + name; }

    // Writes `content` to `name` in the test's folder; returns its path.
    std::string write(const std::string& name, const std::vector<std::uint8_t>& content) const
    {
        EXPECT_TRUE(capture::write_file(path(name), content));
        return path(name);
    }

    // Runs velmora with `arguments`, standard input from `input` (a path).
    static process_result velmora(const std::vector<std::string>& arguments, const std::string& input = "")
    {
        std::vector<std::string> command = {VELMORA_BINARY};
        command.insert(command.end(), arguments.begin(), arguments.end());
        return run_process(command, input);
    }

    std::string folder;
};

} // namespace velmora::testing_support

#endif

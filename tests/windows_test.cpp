// What the Windows build promises beyond the tests every build runs: the
// write lock is a share mode, and Ctrl-C or Ctrl-Break discards the
// unfinished image. Runs the built velmora.exe (under Wine when cross-built).
#include "binary_test.h"
#include "process_runner.h"
#include "tap_image_check.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace velmora {
namespace {

using bytes = std::vector<std::uint8_t>;
using testing_support::banner;
using testing_support::process_result;
using testing_support::read_file;

std::uintmax_t size_of(const std::string& path)
{
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

// A run of velmora.exe whose capture comes through a pipe kept open, so that
// it waits for more samples once it has written some of its image.
struct piped_run {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    PROCESS_INFORMATION process{};
    bool writing = false; // the image has reached the output file

    // Starts velmora on `output` (version 2) and feeds it one block without
    // end, an edge at every sample: 8 entries a byte, so the image outgrows
    // the output buffer and reaches the file.
    explicit piped_run(const std::string& output)
    {
        const std::string pipe_name = "\\\\.\\pipe\\velmora-test-" + std::to_string(GetCurrentProcessId());
        pipe = CreateNamedPipeA(pipe_name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 1 << 16,
                                1 << 16, 0, nullptr);
        std::string command_line = "velmora " + pipe_name + " \"" + output + "\" 2";
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        if (pipe == INVALID_HANDLE_VALUE || !CreateProcessA(VELMORA_BINARY, command_line.data(), nullptr, nullptr,
                                                            FALSE, 0, nullptr, nullptr, &startup, &process)) {
            return;
        }
        ConnectNamedPipe(pipe, nullptr);
        bytes capture_bytes = {0, 0, 0, 0, 2, 0, 0xFF, 0xFF, 0xFF, 0x7F, 20};
        capture_bytes.resize(capture_bytes.size() + (1 << 16), 0xAA);
        DWORD written = 0;
        if (!WriteFile(pipe, capture_bytes.data(), static_cast<DWORD>(capture_bytes.size()), &written, nullptr)) {
            return;
        }
        constexpr std::uintmax_t some_entries = 4096;
        for (int wait = 0; wait < 500 && size_of(output) < some_entries; ++wait) {
            Sleep(10);
        }
        writing = size_of(output) >= some_entries;
    }

    // Ends the capture: the run reads to its end.
    void end_capture()
    {
        CloseHandle(pipe);
        pipe = INVALID_HANDLE_VALUE;
    }

    // Waits up to `milliseconds` for the run to end; false if it did not.
    bool wait(DWORD milliseconds, DWORD& exit_code)
    {
        if (WaitForSingleObject(process.hProcess, milliseconds) != WAIT_OBJECT_0) {
            return false;
        }
        return GetExitCodeProcess(process.hProcess, &exit_code) != 0;
    }

    ~piped_run()
    {
        if (pipe != INVALID_HANDLE_VALUE) {
            CloseHandle(pipe);
        }
        if (process.hProcess != nullptr) {
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, INFINITE);
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
        }
    }
    piped_run(const piped_run&) = delete;
    piped_run& operator=(const piped_run&) = delete;
};

class windows_output : public testing_support::binary_test {};

TEST_F(windows_output, an_output_another_run_writes_may_be_read_but_not_written)
{
    const std::string input = write("in.ctf", capture::ctf_image({capture::block{20, bytes(100, 0xAA)}}));
    const std::string output = path("out.tap");
    piped_run first(output);
    ASSERT_TRUE(first.writing) << "the first run could not be set up";

    const process_result second = velmora({input, output, "2"});
    EXPECT_EQ(second.status, 3);
    EXPECT_EQ(second.out, banner);
    EXPECT_EQ(second.err, "It's impossible to open " + output + " to write\n");
    // Whatever share mode another program offers in turn.
    constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE writer =
        CreateFileA(output.c_str(), GENERIC_WRITE, share_all, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << "another program could write the image";
    CloseHandle(writer);
    const HANDLE reader =
        CreateFileA(output.c_str(), GENERIC_READ, share_all, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE) << "another program could not read the image";
    CloseHandle(reader);

    // The capture ends early: the first run keeps what it read.
    first.end_capture();
    DWORD exit_code = 0;
    ASSERT_TRUE(first.wait(10000, exit_code));
    EXPECT_EQ(exit_code, 5U);
    EXPECT_EQ(testing_support::tap_image_problem(read_file(output), 2), "");
}

// The exit code of a process that Ctrl-C ended (STATUS_CONTROL_C_EXIT).
constexpr DWORD interrupted_exit_code = 0xC000013AU;

struct interruption_case {
    const char* name;
    DWORD event;       // CTRL_C_EVENT or CTRL_BREAK_EVENT
    bool hard_linked;  // the output has a second name
    bool taken_over;   // during the run the image is renamed and another file takes its name
};

class interrupted_run : public windows_output, public testing::WithParamInterface<interruption_case> {
protected:
    void SetUp() override
    {
        windows_output::SetUp();
        // A console of the test's own, shared with velmora, to send the
        // event through; the test itself lets it pass.
        FreeConsole();
        if (!AllocConsole()) {
            GTEST_SKIP() << "no console can be made here to send Ctrl-C through";
        }
        SetConsoleCtrlHandler(ignore_event, TRUE);
    }
    void TearDown() override
    {
        SetConsoleCtrlHandler(ignore_event, FALSE);
        windows_output::TearDown();
    }
    static BOOL WINAPI ignore_event(DWORD) { return TRUE; }
};

TEST_P(interrupted_run, discards_the_unfinished_image_under_every_name)
{
    const interruption_case& c = GetParam();
    const std::string output = path("out.tap");
    if (c.hard_linked) {
        write("out.tap", bytes{'o', 'l', 'd'});
        std::filesystem::create_hard_link(output, path("other.tap"));
    }
    piped_run run(output);
    ASSERT_TRUE(run.writing) << "the run could not be set up";
    const std::string someone_elses = "mine";
    if (c.taken_over) {
        // The output is held with deleting and renaming allowed.
        std::filesystem::rename(output, path("moved.tap"));
        write("out.tap", bytes(someone_elses.begin(), someone_elses.end()));
    }
    if (!GenerateConsoleCtrlEvent(c.event, 0)) {
        GTEST_SKIP() << "this system cannot send the event (Wine sends Ctrl-C only)";
    }
    // The capture is still open: only the event can end the run.
    DWORD exit_code = 0;
    ASSERT_TRUE(run.wait(10000, exit_code)) << "velmora went on after the event";
    EXPECT_EQ(exit_code, interrupted_exit_code);
    if (c.taken_over) {
        // The file now at the output's name is not velmora's: it is put back
        // as it was, and the image, under its new name, is emptied.
        EXPECT_EQ(read_file(output), someone_elses);
        EXPECT_EQ(size_of(path("moved.tap")), 0U) << "the moved image keeps a partial image";
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            EXPECT_EQ(entry.path().filename().string().rfind(".velmora-discard-", 0), std::string::npos)
                << "left behind: " << entry.path().string();
        }
    } else {
        EXPECT_FALSE(std::filesystem::exists(output));
    }
    if (c.hard_linked) {
        EXPECT_EQ(size_of(path("other.tap")), 0U) << "the other name keeps a partial image";
    }
}

INSTANTIATE_TEST_SUITE_P(events, interrupted_run,
                         testing::Values(interruption_case{"ctrl_c", CTRL_C_EVENT, false, false},
                                         interruption_case{"ctrl_break", CTRL_BREAK_EVENT, false, false},
                                         interruption_case{"ctrl_c_hard_linked", CTRL_C_EVENT, true, false},
                                         interruption_case{"ctrl_c_name_taken_over", CTRL_C_EVENT, false, true}),
                         [](const testing::TestParamInfo<interruption_case>& test) { return test.param.name; });

} // namespace
} // namespace velmora

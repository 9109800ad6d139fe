// Fault tests of the built binary: captures cut at every byte, outputs that
// cannot be written, files the user may not touch, and interrupted runs.
// Every failure must leave the input as it was and no image at the output
// path that looks complete.
#include "binary_test.h"
#include "process_runner.h"
#include "tap_image_check.h"
#include "rom_tape/rom_tape_encoder.h"
#include "test_support/capture_builder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace velmora {
namespace {

using bytes = std::vector<std::uint8_t>;
using testing_support::process_result;
using testing_support::read_file;
using testing_support::run_process;
using testing_support::tap_image_problem;
using namespace std::chrono_literals;

using testing_support::banner;

bytes tape_samples(std::uint64_t seed, std::size_t size)
{
    bytes packed = capture::pack_phases(capture::random_phases(capture::pattern::tape, seed, size * 8));
    packed.resize(size);
    return packed;
}

std::string as_string(const bytes& content)
{
    return std::string(content.begin(), content.end());
}

bool exists(const std::string& path)
{
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

class fault : public testing_support::binary_test {};

// --- Every prefix of a capture ---------------------------------------------

// Two blocks of 2100 and 100 sample bytes: the first is read as chunks of
// 2048 and 52 bytes. Whatever byte the file is cut at, velmora must report
// an empty capture (inside the header) or a truncated one, and the image it
// keeps must be a valid image of exactly what was read: since entries are
// only written at edges, and an edge depends only on the samples before it,
// that is the head of the complete capture's image, growing with the cut.
constexpr std::size_t first_block_bytes = 2100;
constexpr std::size_t second_block_bytes = 100;
constexpr std::size_t first_samples_at = 6 + 5;
constexpr std::size_t second_descriptor_at = first_samples_at + first_block_bytes;
constexpr std::size_t second_samples_at = second_descriptor_at + 5;
constexpr std::size_t capture_length = second_samples_at + second_block_bytes;

struct cut_range {
    const char* name;
    std::size_t first;
    std::size_t last; // inclusive
};

class every_prefix : public fault, public testing::WithParamInterface<cut_range> {};

// In a sanitized build LeakSanitizer's check at the end of every process
// costs some 40 ms here, which would make the thousands of runs of the sweep
// take minutes; the runs of the sweep skip it, every other test keeps it.
// No effect on a build without sanitizers.
class leak_check_skipped_in_children {
public:
    leak_check_skipped_in_children()
    {
        const char* const current = std::getenv("ASAN_OPTIONS");
        had_options = current != nullptr;
        saved = had_options ? current : "";
        setenv("ASAN_OPTIONS", (had_options ? saved + ":" : std::string()).append("detect_leaks=0").c_str(), 1);
    }
    ~leak_check_skipped_in_children()
    {
        if (had_options) {
            setenv("ASAN_OPTIONS", saved.c_str(), 1);
        } else {
            unsetenv("ASAN_OPTIONS");
        }
    }
    leak_check_skipped_in_children(const leak_check_skipped_in_children&) = delete;
    leak_check_skipped_in_children& operator=(const leak_check_skipped_in_children&) = delete;

private:
    bool had_options;
    std::string saved;
};

TEST_P(every_prefix, is_reported_as_empty_or_truncated_and_keeps_exactly_what_was_read)
{
    const bytes whole = capture::ctf_image({capture::block{20, tape_samples(7, first_block_bytes)},
                                            capture::block{40, tape_samples(8, second_block_bytes)}});
    ASSERT_EQ(whole.size(), capture_length);
    const std::string whole_input = write("whole.ctf", whole);
    const process_result complete = velmora({whole_input, path("whole.tap"), "2"});
    ASSERT_EQ(complete.status, 0);
    ASSERT_EQ(complete.out, banner);
    const std::string whole_image = read_file(path("whole.tap"));
    ASSERT_EQ(tap_image_problem(whole_image, 2), "");
    // The image of block 1 alone, followed by its gap, is where every cut
    // after block 1 must start from.
    const bytes first_only = capture::ctf_image({capture::block{20, tape_samples(7, first_block_bytes)}});
    ASSERT_EQ(velmora({write("first.ctf", first_only), path("first.tap"), "2"}).status, 0);
    const std::string first_image = read_file(path("first.tap"));

    ASSERT_EQ(whole_image.compare(20, first_image.size() - 20, first_image, 20), 0);

    const std::string input = path("cut.ctf");
    const std::string output = path("cut.tap");
    const leak_check_skipped_in_children quick_exits;
    std::size_t previous_size = 0;
    // Stops at the first cut that fails rather than report thousands.
    for (std::size_t cut = GetParam().first; cut <= GetParam().last && !HasFailure(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut) + " of " + std::to_string(capture_length));
        const bytes cut_capture(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
        ASSERT_TRUE(capture::write_file(input, cut_capture));
        const process_result run = velmora({input, output, "2"});
        const std::string image = read_file(output);
        EXPECT_EQ(read_file(input), as_string(cut_capture)) << "the input was changed";
        EXPECT_EQ(run.out, banner);
        if (cut < 6) {
            EXPECT_EQ(run.status, 4);
            EXPECT_EQ(run.err, input + " is empty\n");
            EXPECT_TRUE(exists(output));
            EXPECT_EQ(image, "");
        } else if (cut < capture_length) {
            EXPECT_EQ(run.status, 5);
            EXPECT_EQ(run.err, input + " is truncated\n");
            EXPECT_EQ(tap_image_problem(image, 2), "");
            EXPECT_EQ(whole_image.compare(20, image.size() - 20, image, 20), 0)
                << "not the head of the complete image";
            EXPECT_GE(image.size(), previous_size) << "a longer cut kept less";
            if (cut <= first_samples_at) {
                EXPECT_EQ(image.size(), 20U) << "no samples read, no entries";
            } else if (cut < second_descriptor_at) {
                EXPECT_LE(image.size(), first_image.size()) << "more than block 1 holds";
            } else if (cut < second_samples_at) {
                EXPECT_EQ(image.size(), first_image.size() + 8) << "block 1 and its gap, nothing more";
            } else {
                EXPECT_GE(image.size(), first_image.size() + 8) << "block 1 or its gap lost";
            }
        } else {
            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(run.err, "");
            EXPECT_EQ(image, whole_image);
        }
        previous_size = image.size();
    }
}

INSTANTIATE_TEST_SUITE_P(
    cuts, every_prefix,
    testing::Values(cut_range{"in_the_header", 0, 5}, cut_range{"in_the_first_descriptor", 6, first_samples_at},
                    cut_range{"in_the_first_chunk", first_samples_at + 1, first_samples_at + 1023},
                    cut_range{"further_in_the_first_chunk", first_samples_at + 1024, first_samples_at + 2046},
                    cut_range{"around_the_chunk_boundary", first_samples_at + 2047, first_samples_at + 2049},
                    cut_range{"in_the_second_chunk", first_samples_at + 2050, second_descriptor_at},
                    cut_range{"in_the_second_descriptor", second_descriptor_at + 1, second_samples_at},
                    cut_range{"in_the_second_block", second_samples_at + 1, capture_length}),
    [](const testing::TestParamInfo<cut_range>& test) { return test.param.name; });

// --- Outputs that cannot be written ----------------------------------------

TEST_F(fault, a_folder_as_output_cannot_be_opened)
{
    const bytes capture_bytes = capture::ctf_image({capture::block{20, tape_samples(1, 100)}});
    const std::string input = write("in.ctf", capture_bytes);
    ASSERT_EQ(mkdir(path("out.tap").c_str(), 0755), 0);
    const process_result run = velmora({input, path("out.tap")});
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, banner);
    EXPECT_EQ(run.err, "It's impossible to open " + path("out.tap") + " to write\n");
    struct stat status {};
    ASSERT_EQ(stat(path("out.tap").c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(read_file(input), as_string(capture_bytes));
}

// A tiny file system of its own, so that the disk fills up part-way. It is
// mounted in a mount namespace private to the test process, so nothing else
// on the machine sees it, even if the test dies before unmounting it.
struct full_disk_case {
    const char* name;
    std::size_t sample_bytes; // of one block with an edge at every sample
    std::size_t filler_bytes; // written to the file system before the run
    int status;
};

class full_file_system : public fault, public testing::WithParamInterface<full_disk_case> {
protected:
    void SetUp() override
    {
        fault::SetUp();
        if (geteuid() != 0) {
            GTEST_SKIP() << "mounting a small file system needs root";
        }
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            GTEST_SKIP() << "no private mount namespace here: " << std::strerror(errno);
        }
        mount_point = path("small");
        ASSERT_EQ(mkdir(mount_point.c_str(), 0755), 0);
        if (mount("velmora-test", mount_point.c_str(), "tmpfs", 0, "size=64k") != 0) {
            const std::string reason = std::strerror(errno);
            mount_point.clear();
            GTEST_SKIP() << "cannot mount a 64 KiB tmpfs here: " << reason;
        }
    }

    void TearDown() override
    {
        if (!mount_point.empty()) {
            umount2(mount_point.c_str(), MNT_DETACH);
        }
        fault::TearDown();
    }

    std::string mount_point;
};

TEST_P(full_file_system, ends_with_status_6_and_removes_the_unfinished_image)
{
    const full_disk_case& c = GetParam();
    // Version 2 writes one entry byte per sample of 1010...: 8 bytes out per
    // byte in.
    const bytes capture_bytes = capture::ctf_image({capture::block{20, bytes(c.sample_bytes, 0xAA)}});
    const std::string input = write("in.ctf", capture_bytes);
    if (c.filler_bytes > 0) {
        // Fill what the file system can hold; the write stops when it is full.
        std::FILE* const filler = std::fopen((mount_point + "/filler").c_str(), "wb");
        ASSERT_NE(filler, nullptr);
        const bytes block(c.filler_bytes, 0xAA);
        std::fwrite(block.data(), 1, block.size(), filler);
        std::fclose(filler);
    }
    const std::string output = mount_point + "/out.tap";
    const process_result run = velmora({input, output, "2"});
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, banner);
    EXPECT_EQ(read_file(input), as_string(capture_bytes));
    if (c.status == 0) {
        // The file system itself works: the same kind of run fits when small.
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(read_file(output).size(), 20 + c.sample_bytes * 8);
    } else {
        EXPECT_EQ(run.err, "It's impossible to write " + output + "\n");
        EXPECT_FALSE(exists(output));
    }
}

// Fills the small file system so that the next write of a few KiB fails.
void fill(const std::string& mount_point)
{
    std::FILE* const filler = std::fopen((mount_point + "/filler").c_str(), "wb");
    ASSERT_NE(filler, nullptr);
    const bytes block(1 << 20, 0xAA);
    std::fwrite(block.data(), 1, block.size(), filler);
    std::fclose(filler);
}

using full_file_system_links = full_file_system;

// The output is reached through a symbolic link, or has a second hard link:
// the failed run must empty the file it wrote, remove no link, and leave no
// partial image under any name.
TEST_F(full_file_system_links, a_failed_write_through_a_symbolic_link_keeps_the_link_and_empties_its_target)
{
    const bytes capture_bytes = capture::ctf_image({capture::block{20, bytes(20000, 0xAA)}});
    const std::string input = write("in.ctf", capture_bytes);
    const std::string target = mount_point + "/target.tap";
    ASSERT_TRUE(capture::write_file(target, bytes(100, 0x55)));
    fill(mount_point);
    const std::string link = path("link.tap");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    const process_result run = velmora({input, link, "2"});
    EXPECT_EQ(run.status, 6);
    EXPECT_EQ(run.out, banner);
    EXPECT_EQ(run.err, "It's impossible to write " + link + "\n");
    struct stat status {};
    ASSERT_EQ(lstat(link.c_str(), &status), 0) << "the link was removed";
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    EXPECT_TRUE(exists(target));
    EXPECT_EQ(read_file(target), "") << "the target keeps a partial image";
    EXPECT_EQ(read_file(input), as_string(capture_bytes));
}

TEST_F(full_file_system_links, a_failed_write_to_a_hard_linked_output_leaves_nothing_under_the_other_name)
{
    const bytes capture_bytes = capture::ctf_image({capture::block{20, bytes(20000, 0xAA)}});
    const std::string input = write("in.ctf", capture_bytes);
    const std::string output = mount_point + "/out.tap";
    const std::string other_name = mount_point + "/other.tap";
    ASSERT_TRUE(capture::write_file(output, bytes(100, 0x55)));
    ASSERT_EQ(link(output.c_str(), other_name.c_str()), 0);
    const process_result run = velmora({input, output, "2"});
    EXPECT_EQ(run.status, 6);
    EXPECT_EQ(run.out, banner);
    EXPECT_EQ(run.err, "It's impossible to write " + output + "\n");
    EXPECT_FALSE(exists(output));
    EXPECT_TRUE(exists(other_name));
    EXPECT_EQ(read_file(other_name), "") << "a partial image survives under the other name";
    EXPECT_EQ(read_file(input), as_string(capture_bytes));
}

INSTANTIATE_TEST_SUITE_P(sizes, full_file_system,
                         testing::Values(full_disk_case{"fits", 1000, 0, 0},
                                         full_disk_case{"fills_up_part_way", 20000, 0, 6},
                                         full_disk_case{"full_from_the_start", 100, 1 << 20, 6}),
                         [](const testing::TestParamInfo<full_disk_case>& test) { return test.param.name; });

// --- Files the user may not touch ------------------------------------------

// Runs velmora as a user without root's right to override permissions:
// `nobody` through setpriv when root, the current user otherwise.
class as_unprivileged_user : public fault {
protected:
    void SetUp() override
    {
        fault::SetUp();
        // The user must reach the test folder and the binary.
        ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
        if (geteuid() == 0) {
            prefix = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
        }
        const process_result probe = run(std::vector<std::string>{});
        if (probe.status != 1 || probe.out.rfind(banner, 0) != 0) {
            GTEST_SKIP() << "velmora cannot be started as an unprivileged user here (setpriv missing, no user "
                            "nobody, or the binary's folder is closed to it): status "
                         << probe.status << " " << probe.err;
        }
    }

    process_result run(const std::vector<std::string>& arguments) const
    {
        std::vector<std::string> command = prefix;
        command.push_back(VELMORA_BINARY);
        command.insert(command.end(), arguments.begin(), arguments.end());
        return run_process(command);
    }

    std::vector<std::string> prefix;
};

TEST_F(as_unprivileged_user, an_unreadable_input_ends_with_status_2_and_creates_no_output)
{
    const bytes capture_bytes = capture::ctf_image({capture::block{20, tape_samples(1, 100)}});
    const std::string input = write("in.ctf", capture_bytes);
    ASSERT_EQ(chmod(input.c_str(), 0), 0);
    const std::string out_folder = path("out");
    ASSERT_EQ(mkdir(out_folder.c_str(), 0777), 0);
    ASSERT_EQ(chmod(out_folder.c_str(), 0777), 0); // whatever the umask
    const std::string output = out_folder + "/out.tap";
    const process_result run_result = run({input, output});
    EXPECT_EQ(run_result.status, 2);
    EXPECT_EQ(run_result.out, banner);
    EXPECT_EQ(run_result.err, "It's impossible to open " + input + " to read\n");
    EXPECT_FALSE(exists(output));
    ASSERT_EQ(chmod(input.c_str(), 0644), 0);
    EXPECT_EQ(read_file(input), as_string(capture_bytes));
}

TEST_F(as_unprivileged_user, an_output_folder_without_write_permission_ends_with_status_3)
{
    const bytes capture_bytes = capture::ctf_image({capture::block{20, tape_samples(1, 100)}});
    const std::string input = write("in.ctf", capture_bytes);
    ASSERT_EQ(chmod(input.c_str(), 0644), 0);
    const std::string out_folder = path("out");
    ASSERT_EQ(mkdir(out_folder.c_str(), 0555), 0);
    ASSERT_EQ(chmod(out_folder.c_str(), 0555), 0);
    const std::string output = out_folder + "/out.tap";
    const process_result run_result = run({input, output});
    EXPECT_EQ(run_result.status, 3);
    EXPECT_EQ(run_result.out, banner);
    EXPECT_EQ(run_result.err, "It's impossible to open " + output + " to write\n");
    EXPECT_FALSE(exists(output));
    EXPECT_EQ(read_file(input), as_string(capture_bytes));
}

// --- Interrupted runs --------------------------------------------------------

// What the run is started with: some callers ignore or block signals, and
// velmora must leave those as they were.
struct start_conditions {
    int ignored = 0; // a signal set to SIG_IGN before the start, or 0
    int blocked = 0; // a signal blocked in the mask before the start, or 0
};

// Starts `command` (the program path first), its standard streams on
// /dev/null; the interrupting signals have their default action unless
// `conditions` says otherwise.
pid_t start_process(std::vector<std::string> command, const start_conditions& conditions)
{
    std::vector<char*> argv;
    for (std::string& argument : command) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        // Only async-signal-safe calls between fork and exec.
        for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU,
                                         SIGVTALRM, SIGPROF}) {
            signal(signal_number, SIG_DFL);
        }
        // SIGQUIT and SIGXCPU would leave a core dump.
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        sigset_t mask;
        sigemptyset(&mask);
        if (conditions.ignored != 0) {
            signal(conditions.ignored, SIG_IGN);
        }
        if (conditions.blocked != 0) {
            sigaddset(&mask, conditions.blocked);
        }
        sigprocmask(SIG_SETMASK, &mask, nullptr);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

pid_t start_velmora(const std::vector<std::string>& arguments, const start_conditions& conditions)
{
    std::vector<std::string> command = {VELMORA_BINARY};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return start_process(command, conditions);
}

// The wait status of `child`, or -1 if it has not ended within `limit` (it is
// then killed and reaped).
int wait_for(pid_t child, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            return status;
        }
        std::this_thread::sleep_for(2ms);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return -1;
}

// Feeds a capture announcing one block of 2 GiB into a FIFO, a few KiB at a
// time, until stopped or until the reader goes away.
class slow_feeder {
public:
    explicit slow_feeder(const std::string& fifo)
        : thread([this, fifo] { feed(fifo); })
    {
    }
    ~slow_feeder()
    {
        stopping = true;
        thread.join();
    }
    std::size_t fed() const { return sent.load(); }

private:
    void feed(const std::string& fifo)
    {
        // A write to a FIFO whose reader died must fail here, not kill the test.
        sigset_t pipe_signal;
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
        int descriptor = -1;
        while (!stopping && descriptor == -1) {
            descriptor = open(fifo.c_str(), O_WRONLY | O_NONBLOCK); // fails until velmora opens it
            if (descriptor == -1) {
                std::this_thread::sleep_for(1ms);
            }
        }
        if (descriptor == -1) {
            return;
        }
        fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
        bytes head;
        capture::put_le(head, 0, 4);
        capture::put_le(head, 2, 2);         // one block
        capture::put_le(head, 0x7FFFFFFF, 4); // its samples run to 2 GiB
        head.push_back(20);
        const bytes samples = tape_samples(3, 4096);
        bool ok = ::write(descriptor, head.data(), head.size()) == static_cast<ssize_t>(head.size());
        while (ok && !stopping) {
            ok = ::write(descriptor, samples.data(), samples.size()) == static_cast<ssize_t>(samples.size());
            sent += samples.size();
            std::this_thread::sleep_for(2ms);
        }
        close(descriptor);
    }

    std::atomic<bool> stopping{false};
    std::atomic<std::size_t> sent{0};
    std::thread thread;
};

off_t size_of(const std::string& path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

// Waits until `path` has grown past `size` bytes; false if it does not
// within a few seconds.
bool wait_for_growth(const std::string& path, off_t size)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (size_of(path) > size) {
            return true;
        }
        std::this_thread::sleep_for(2ms);
    }
    return false;
}

struct interruption_case {
    const char* name;
    start_conditions conditions;
    int first_signal;  // sent once the image is being written
    bool first_ends_it; // false: the first signal must be left ignored or blocked
    int second_signal; // sent afterwards when the first did not end the run
    bool through_link = false; // the output path is a symbolic link to the image
};

class interrupted_run : public fault, public testing::WithParamInterface<interruption_case> {};

TEST_P(interrupted_run, ends_as_the_signal_would_and_leaves_no_output)
{
    const interruption_case& c = GetParam();
    const std::string input = path("in.fifo");
    const std::string output = path("out.tap"); // where the image grows
    const std::string link = path("link.tap");
    ASSERT_EQ(symlink(output.c_str(), link.c_str()), 0);
    ASSERT_EQ(mkfifo(input.c_str(), 0600), 0);
    slow_feeder feeder(input);
    const pid_t child = start_velmora({input, c.through_link ? link : output, "2"}, c.conditions);
    ASSERT_GT(child, 0);
    // Entries reach the file a buffer at a time: once it has grown, the run
    // is well inside the conversion.
    const bool writing = wait_for_growth(output, 0);
    EXPECT_TRUE(writing) << "the conversion never wrote to its output";

    kill(child, c.first_signal);
    int expected_signal = c.first_signal;
    if (!c.first_ends_it) {
        // Still converting: the image keeps growing after the signal.
        std::this_thread::sleep_for(50ms);
        EXPECT_TRUE(wait_for_growth(output, size_of(output))) << "the run stopped at a signal it should not see";
        kill(child, c.second_signal);
        expected_signal = c.second_signal;
    }
    const int status = wait_for(child, 10s);
    ASSERT_NE(status, -1) << "velmora did not end after the signal";
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), expected_signal);
    if (c.through_link) {
        EXPECT_TRUE(exists(link)) << "the symbolic link was removed";
        EXPECT_EQ(size_of(output), 0) << "the link's target keeps the unfinished image";
    } else {
        EXPECT_FALSE(exists(output)) << "the unfinished image was left behind";
    }
    EXPECT_TRUE(exists(input));
}

INSTANTIATE_TEST_SUITE_P(
    signals, interrupted_run,
    testing::Values(interruption_case{"sigint", {}, SIGINT, true, 0},
                    interruption_case{"sigterm", {}, SIGTERM, true, 0},
                    interruption_case{"sighup", {}, SIGHUP, true, 0},
                    interruption_case{"sigquit", {}, SIGQUIT, true, 0},
                    interruption_case{"sigusr1", {}, SIGUSR1, true, 0},
                    interruption_case{"sigusr2", {}, SIGUSR2, true, 0},
                    interruption_case{"sigalrm", {}, SIGALRM, true, 0},
                    interruption_case{"sigxcpu", {}, SIGXCPU, true, 0},
                    interruption_case{"sigvtalrm", {}, SIGVTALRM, true, 0},
                    interruption_case{"sigprof", {}, SIGPROF, true, 0},
                    // Started under nohup: a hang-up is ignored, a termination is not.
                    interruption_case{"ignored_sighup_stays_ignored", {SIGHUP, 0}, SIGHUP, false, SIGTERM},
                    // A signal the caller blocked stays blocked for the whole run.
                    interruption_case{"blocked_sigint_stays_blocked", {0, SIGINT}, SIGINT, false, SIGTERM},
                    interruption_case{"sigterm_through_a_symbolic_link", {}, SIGTERM, true, 0, true}),
    [](const testing::TestParamInfo<interruption_case>& test) { return test.param.name; });

// A capture coming through a pipe is converted as it arrives: with some of
// it sent and the pipe held open, the image must reach the file (64 KiB of
// samples with an edge at each give 512 KiB of entries), not wait for a
// buffer's worth of capture or for the pipe's end.
TEST_F(fault, a_capture_from_a_pipe_is_converted_as_it_arrives)
{
    const std::string input = path("in.fifo");
    const std::string output = path("out.tap");
    ASSERT_EQ(mkfifo(input.c_str(), 0600), 0);
    const pid_t child = start_velmora({input, output, "2"}, {});
    ASSERT_GT(child, 0);
    const int descriptor = open(input.c_str(), O_WRONLY); // waits for velmora to open it
    ASSERT_NE(descriptor, -1);
    bytes head;
    capture::put_le(head, 0, 4);
    capture::put_le(head, 2, 2);         // one block
    capture::put_le(head, 0x7FFFFFFF, 4); // its samples run to 2 GiB
    head.push_back(20);
    head.resize(head.size() + (std::size_t{1} << 16), 0xAA);
    EXPECT_EQ(::write(descriptor, head.data(), head.size()), static_cast<ssize_t>(head.size()));
    EXPECT_TRUE(wait_for_growth(output, 4095)) << "the image waited for more of the capture";
    close(descriptor);
    const int status = wait_for(child, 10s);
    ASSERT_NE(status, -1) << "velmora did not end with its input";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 5); // the block ended early
}

class interrupted_wait : public fault, public testing::WithParamInterface<int> {};

TEST_P(interrupted_wait, for_a_reader_of_its_output_fifo_ends_the_run)
{
    const int signal_number = GetParam();
    const std::string input = write("in.ctf", capture::ctf_image({capture::block{20, tape_samples(1, 100)}}));
    const std::string output = path("out.fifo");
    ASSERT_EQ(mkfifo(output.c_str(), 0600), 0);
    const pid_t child = start_velmora({input, output}, {});
    ASSERT_GT(child, 0);
    // Opening a FIFO for writing waits until a reader comes; none will.
    std::this_thread::sleep_for(200ms);
    kill(child, signal_number);
    const int status = wait_for(child, 5s);
    ASSERT_NE(status, -1) << "the wait for a reader could not be interrupted";
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), signal_number);
    struct stat fifo_status {};
    ASSERT_EQ(stat(output.c_str(), &fifo_status), 0) << "the FIFO was removed";
    EXPECT_TRUE(S_ISFIFO(fifo_status.st_mode));
}

INSTANTIATE_TEST_SUITE_P(signals, interrupted_wait, testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const testing::TestParamInfo<int>& test) {
                             return std::string(test.param == SIGINT ? "sigint" : test.param == SIGTERM ? "sigterm" : "sighup");
                         });

// --- Mistaken commands ------------------------------------------------------

// Runs velmora through the shell, so that the test can state redirections
// and limits as a user types them: $0 is velmora, $1 to $3 its arguments.
process_result velmora_in_shell(const std::string& script, const std::vector<std::string>& arguments)
{
    std::vector<std::string> command = {"/bin/sh", "-c", script, VELMORA_BINARY};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return run_process(command);
}

struct standard_stream_case {
    const char* name;
    const char* link_target; // what the output path, a symbolic link, points to
    const char* script;      // writes standard output or error to the file $3
    std::string file_before;
    int status;
    std::string file_after; // what the redirected file must hold afterwards
    std::string out;        // what velmora printed on standard output, when not redirected
    std::string err;        // the same for standard error; @ stands for the output path
};

class standard_stream_output : public fault, public testing::WithParamInterface<standard_stream_case> {};

// An output that is the file standard output or error writes to would have
// the banner and messages written over the image; it is refused, and that
// file is left as the shell made it.
TEST_P(standard_stream_output, is_refused_and_the_redirected_file_keeps_its_content)
{
    const standard_stream_case& c = GetParam();
    const std::string input = write("in.ctf", capture::ctf_image({capture::block{20, tape_samples(1, 500)}}));
    const std::string link = path("stream.tap");
    ASSERT_EQ(symlink(c.link_target, link.c_str()), 0);
    const std::string redirected = write("redirected", bytes(c.file_before.begin(), c.file_before.end()));
    const process_result run = velmora_in_shell(c.script, {input, link, redirected});
    const auto naming_the_output = [&link](std::string text) {
        if (const std::size_t at = text.find('@'); at != std::string::npos) {
            text.replace(at, 1, link);
        }
        return text;
    };
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, naming_the_output(c.err));
    EXPECT_EQ(read_file(redirected), naming_the_output(c.file_after));
    struct stat status {};
    EXPECT_EQ(lstat(link.c_str(), &status), 0) << "the link was removed";
}

const std::string refused = "It's impossible to open @ to write\n";

INSTANTIATE_TEST_SUITE_P(
    redirections, standard_stream_output,
    testing::Values(
        standard_stream_case{"stdout", "/proc/self/fd/1", "\"$0\" \"$1\" \"$2\" 2 >\"$3\"", "old image", 3, banner, "",
                             refused},
        standard_stream_case{"stdout_appended", "/proc/self/fd/1", "\"$0\" \"$1\" \"$2\" 2 >>\"$3\"", "kept\n", 3,
                             "kept\n" + banner, "", refused},
        standard_stream_case{"stderr", "/proc/self/fd/2", "\"$0\" \"$1\" \"$2\" 2 2>\"$3\"", "old image", 3, refused,
                             banner, ""},
        // Not a regular file: writing the image there harms nothing.
        standard_stream_case{"null_device_while_stdout_is_a_file", "/dev/null",
                             "\"$0\" \"$1\" \"$2\" 2 >\"$3\"", "old", 0, banner, "", ""}),
    [](const testing::TestParamInfo<standard_stream_case>& test) { return test.param.name; });

// A write past the file size limit fails like a write to a full disk: the
// run is not killed, and no partial image is left.
TEST_F(fault, a_file_size_limit_is_a_failed_write)
{
    const bytes capture_bytes = capture::ctf_image({capture::block{20, bytes(4000, 0xAA)}}); // a 32 KiB image
    const std::string input = write("in.ctf", capture_bytes);
    const std::string output = path("out.tap");
    const process_result run = velmora_in_shell("ulimit -f 16 && exec \"$0\" \"$1\" \"$2\" 2", {input, output});
    EXPECT_EQ(run.status, 6);
    EXPECT_EQ(run.out, banner);
    EXPECT_EQ(run.err, "It's impossible to write " + output + "\n");
    EXPECT_FALSE(exists(output));
    EXPECT_EQ(read_file(input), as_string(capture_bytes));
}

struct swapped_case {
    const char* name;
    const char* signature; // the first 12 bytes of the image given as capture
    bool output_exists;    // the output path names a capture of the user's
};

class tap_image_as_capture : public fault, public testing::WithParamInterface<swapped_case> {};

// `velmora tape.tap tape.ctf`: the image is refused as input before the
// output, here the user's capture, is opened.
TEST_P(tap_image_as_capture, is_refused_and_the_output_is_not_touched)
{
    const swapped_case& c = GetParam();
    // The header of a version 1 C16 image holding four entries.
    bytes image = {1, 2, 0, 0, 4, 0, 0, 0, 0x30, 0x30, 0x30, 0x30};
    image.insert(image.begin(), c.signature, c.signature + 12);
    const std::string input = write("tape.tap", image);
    const bytes capture_bytes = capture::ctf_image({capture::block{20, tape_samples(1, 500)}});
    const std::string output = path("tape.ctf");
    if (c.output_exists) {
        write("tape.ctf", capture_bytes);
    }
    const process_result run = velmora({input, output, "2"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, banner);
    EXPECT_EQ(run.err, input + " is a TAP image, not a CTF capture\n");
    EXPECT_EQ(exists(output), c.output_exists);
    if (c.output_exists) {
        EXPECT_EQ(read_file(output), as_string(capture_bytes));
    }
    EXPECT_EQ(read_file(input), as_string(image));
}

INSTANTIATE_TEST_SUITE_P(images, tap_image_as_capture,
                         testing::Values(swapped_case{"c16_over_a_capture", "C16-TAPE-RAW", true},
                                         swapped_case{"c64_over_a_capture", "C64-TAPE-RAW", true},
                                         swapped_case{"c16_to_a_new_file", "C16-TAPE-RAW", false}),
                         [](const testing::TestParamInfo<swapped_case>& test) { return test.param.name; });

// While one run writes an image, a second run on the same output is refused
// and leaves the file alone; once the first has let go, the output is free.
TEST_F(fault, a_second_run_on_an_output_another_run_holds_is_refused)
{
    const bytes capture_bytes = capture::ctf_image({capture::block{20, tape_samples(1, 500)}});
    const std::string input = write("in.ctf", capture_bytes);
    const std::string output = write("out.tap", bytes{'h', 'e', 'l', 'd'});
    const int holder = open(output.c_str(), O_WRONLY);
    ASSERT_NE(holder, -1);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const process_result second = velmora({input, output, "2"});
    EXPECT_EQ(second.status, 3);
    EXPECT_EQ(second.out, banner);
    EXPECT_EQ(second.err, "It's impossible to open " + output + " to write\n");
    EXPECT_EQ(read_file(output), "held");
    close(holder);
    const process_result after = velmora({input, output, "2"});
    EXPECT_EQ(after.status, 0);
    EXPECT_EQ(tap_image_problem(read_file(output), 2), "");
}

// --- Pinned boundaries of the guard and of the look-ahead -------------------

// Waits until `path` is exactly `size` bytes long; false if it is not within
// a few seconds.
bool wait_for_size(const std::string& path, off_t size)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (size_of(path) == size) {
            return true;
        }
        std::this_thread::sleep_for(2ms);
    }
    return false;
}

// The head of a capture of one block announced to run to 2 GiB: velmora
// converts what arrives and then waits for more.
bytes endless_capture_head()
{
    bytes head;
    capture::put_le(head, 0, 4);
    capture::put_le(head, 2, 2);          // one block
    capture::put_le(head, 0x7FFFFFFF, 4); // its samples run to 2 GiB
    head.push_back(20);
    head.insert(head.end(), {0x0F, 0x0F});
    return head;
}

// A run converting from a FIFO to an image of version 2, and the writing
// end of that FIFO, held by the test.
struct piped_run {
    pid_t child;
    int writer; // -1 if the run could not be started
};

piped_run start_on_a_pipe(const std::string& fifo, const std::string& output)
{
    if (mkfifo(fifo.c_str(), 0600) != 0) {
        return {-1, -1};
    }
    const pid_t child = start_velmora({fifo, output, "2"}, {});
    const int writer = child > 0 ? open(fifo.c_str(), O_WRONLY) : -1; // waits for velmora to open it
    if (writer == -1 && child > 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    return {child, writer};
}

class replaced_output : public fault, public testing::WithParamInterface<int> {};

// The output path is made to name another file while the run waits for its
// input (a user moved a finished image there): the interrupted run discards
// its own unfinished image, not that file.
TEST_P(replaced_output, survives_an_interrupted_run_with_its_content)
{
    const std::string output = write("out.tap", bytes{'o', 'l', 'd'});
    const auto [child, writer] = start_on_a_pipe(path("in.fifo"), output);
    ASSERT_NE(writer, -1);
    const bytes head = endless_capture_head();
    EXPECT_EQ(::write(writer, head.data(), head.size()), static_cast<ssize_t>(head.size()));
    // The 20-byte header goes out as soon as the capture's header is read:
    // the output is open, locked, emptied and armed; the entries wait in
    // the run's buffer while it waits for more samples.
    const bool started = wait_for_size(output, 20);
    EXPECT_TRUE(started) << "the run never wrote its image's header";
    const std::string other = write("other.tap", bytes{'k', 'e', 'e', 'p'});
    ASSERT_EQ(rename(other.c_str(), output.c_str()), 0);
    kill(child, GetParam());
    const int status = wait_for(child, 10s);
    close(writer);
    ASSERT_NE(status, -1) << "velmora did not end after the signal";
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), GetParam());
    ASSERT_TRUE(exists(output)) << "the file put in the image's place was removed";
    EXPECT_EQ(read_file(output), "keep");
}

INSTANTIATE_TEST_SUITE_P(signals, replaced_output, testing::Values(SIGINT, SIGTERM),
                         [](const testing::TestParamInfo<int>& test) {
                             return std::string(test.param == SIGINT ? "sigint" : "sigterm");
                         });

// Any lock on the output stands for a run or another program using the
// file, a shared one too (a reader making a copy): the run is refused and
// the file left as it was.
TEST_F(fault, an_output_another_process_holds_with_a_shared_lock_is_refused)
{
    const std::string input = write("in.ctf", capture::ctf_image({capture::block{20, tape_samples(1, 500)}}));
    const std::string output = write("out.tap", bytes{'h', 'e', 'l', 'd'});
    const int holder = open(output.c_str(), O_RDONLY);
    ASSERT_NE(holder, -1);
    ASSERT_EQ(flock(holder, LOCK_SH | LOCK_NB), 0);
    const process_result run = velmora({input, output, "2"});
    close(holder);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.err, "It's impossible to open " + output + " to write\n");
    EXPECT_EQ(read_file(output), "held");
}

struct untouched_output_case {
    const char* name;
    std::string before; // the output's content before the run
    bytes capture;      // an empty capture: nothing is written
    int status;
    bool keeps_time;    // the output's modification time stays as it was
};

class output_of_an_empty_capture : public fault, public testing::WithParamInterface<untouched_output_case> {};

// An output is emptied only if it holds something: an empty one that the
// run writes nothing to keeps its modification time, so that backup and
// build tools do not take it for changed. One holding a byte is emptied.
TEST_P(output_of_an_empty_capture, is_emptied_only_if_it_held_something)
{
    const untouched_output_case& c = GetParam();
    const std::string input = write("in.ctf", c.capture);
    const std::string output = write("out.tap", bytes(c.before.begin(), c.before.end()));
    constexpr time_t long_ago = 1000000000; // 2001-09-09
    const struct timespec times[2] = {{long_ago, 0}, {long_ago, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, output.c_str(), times, 0), 0);
    const process_result run = velmora({input, output, "2"});
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.err, input + " is empty\n");
    struct stat status {};
    ASSERT_EQ(stat(output.c_str(), &status), 0);
    EXPECT_EQ(status.st_size, 0);
    EXPECT_EQ(status.st_mtim.tv_sec == long_ago, c.keeps_time) << "modification time " << status.st_mtim.tv_sec;
}

// The block count field 1 announces no block; a capture of 4 bytes ends
// inside its header. Both end with status 4 after the output was opened.
const bytes count_field_1_capture = {0, 0, 0, 0, 1, 0};
const bytes header_cut_capture = {0, 0, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    cases, output_of_an_empty_capture,
    testing::Values(untouched_output_case{"empty_output_count_field_1", "", count_field_1_capture, 4, true},
                    untouched_output_case{"empty_output_header_cut_short", "", header_cut_capture, 4, true},
                    untouched_output_case{"one_byte_output_is_emptied", "x", count_field_1_capture, 4, false}),
    [](const testing::TestParamInfo<untouched_output_case>& test) { return test.param.name; });

struct arriving_capture_case {
    const char* name;
    bytes capture;        // complete; sent at once, the pipe then held open
    bool ends_while_open; // false: velmora waits for the pipe's end first
    bytes image;          // version 2
};

class capture_on_an_open_pipe : public fault, public testing::WithParamInterface<arriving_capture_case> {};

// Telling a capture from a TAP image takes its first 12 bytes and no more:
// a complete capture of 12 bytes or more is converted while its writer
// still holds the pipe open; one of 11 bytes can only be told apart once
// the pipe ends.
TEST_P(capture_on_an_open_pipe, is_converted_without_waiting_for_the_end_of_the_pipe)
{
    const arriving_capture_case& c = GetParam();
    const std::string output = path("out.tap");
    const auto [child, writer] = start_on_a_pipe(path("in.fifo"), output);
    ASSERT_NE(writer, -1);
    EXPECT_EQ(::write(writer, c.capture.data(), c.capture.size()), static_cast<ssize_t>(c.capture.size()));
    int status = -1;
    if (c.ends_while_open) {
        status = wait_for(child, 10s);
        close(writer);
        ASSERT_NE(status, -1) << "velmora waited for the end of the pipe";
    } else {
        std::this_thread::sleep_for(100ms);
        EXPECT_FALSE(exists(output)) << "the output was opened before the capture could be told from an image";
        close(writer);
        status = wait_for(child, 10s);
        ASSERT_NE(status, -1) << "velmora did not end with its input";
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_file(output), as_string(c.image));
}

// The header of a version 2 C16 image with `size` bytes of data.
bytes image_header(std::uint8_t size)
{
    return {'C', '1', '6', '-', 'T', 'A', 'P', 'E', '-', 'R', 'A', 'W', 2, 2, 0, 0, size, 0, 0, 0};
}

bytes joined(bytes head, const bytes& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// One block (block count field 2) at period 20 whose end offset lies just
// past `samples`. Sample byte 0F (0000 1111): a rising edge at n = 5
// (the run's first edge counts its own sample), H(5, 20) = (1300 + 50) / 100
// = 13, entry 0D; the high phase stays open. 0F 0F: then n = 4 falling and
// n = 4 rising, H(4, 20) = (1040 + 50) / 100 = 10: entries 0D 0A 0A.
INSTANTIATE_TEST_SUITE_P(
    sizes, capture_on_an_open_pipe,
    testing::Values(
        // 6 + 5 bytes, end offset 11: a block without samples.
        arriving_capture_case{"of_11_bytes_waits", {0, 0, 0, 0, 2, 0, 11, 0, 0, 0, 20}, false, image_header(0)},
        arriving_capture_case{"of_12_bytes", {0, 0, 0, 0, 2, 0, 12, 0, 0, 0, 20, 0x0F}, true,
                              joined(image_header(1), {0x0D})},
        arriving_capture_case{"of_13_bytes", {0, 0, 0, 0, 2, 0, 13, 0, 0, 0, 20, 0x0F, 0x0F}, true,
                              joined(image_header(3), {0x0D, 0x0A, 0x0A})}),
    [](const testing::TestParamInfo<arriving_capture_case>& test) { return test.param.name; });

// --- Races forced by delaying or failing a system call ----------------------

// strace's path to run a program under, or "" (and the reason in `why`)
// where it is missing or cannot trace here.
std::string usable_strace(std::string& why)
{
    const process_result found = run_process({"/bin/sh", "-c", "command -v strace"});
    if (found.status != 0) {
        why = "strace is not installed (Debian package strace): the race is not forced";
        return "";
    }
    const std::string strace = found.out.substr(0, found.out.find('\n'));
    if (run_process({strace, "-o", "/dev/null", "/bin/true"}).status != 0) {
        why = "strace cannot trace here (ptrace not allowed): the race is not forced";
        return "";
    }
    return strace;
}

class traced : public fault {
protected:
    void SetUp() override
    {
        fault::SetUp();
        std::string why;
        strace = usable_strace(why);
        if (strace.empty()) {
            GTEST_SKIP() << why;
        }
    }

    // velmora run under strace with `options`, its standard streams on
    // /dev/null; returns the strace process, which ends as velmora does.
    pid_t start_traced(const std::vector<std::string>& options, const std::vector<std::string>& arguments) const
    {
        std::vector<std::string> command = {strace, "-o", path("trace.log")};
        command.insert(command.end(), options.begin(), options.end());
        command.push_back("--");
        command.insert(command.end(), arguments.begin(), arguments.end());
        return start_process(command, {});
    }

    // Waits until `ready` is true; false if not within seconds.
    template <typename condition>
    static bool wait_until(const condition& ready)
    {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!ready()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    // Waits until strace's log holds `text`; false if not within seconds.
    bool wait_for_log(const std::string& text) const
    {
        return wait_until([this, &text] { return read_file(path("trace.log")).find(text) != std::string::npos; });
    }

    std::string strace;
    // LeakSanitizer cannot run under a tracer (a sanitized build's runs
    // would end with its error instead of their own status).
    const leak_check_skipped_in_children no_leak_check_under_strace;
};

struct read_error_case {
    const char* name;
    const char* when; // which read of the capture file fails
    bool old_image_kept;
};

class read_error : public traced, public testing::WithParamInterface<read_error_case> {};

// A capture of 400,011 bytes is read in two reads of the reader's buffer.
// A failure of the first leaves nothing to tell a capture from an image, so
// the output keeps what it held; a failure of the second leaves the image of
// what arrived, finished with its size.
TEST_P(read_error, ends_with_status_5_and_an_image_of_what_arrived_or_the_old_one)
{
    const read_error_case& c = GetParam();
    const std::string input = write("in.ctf", capture::ctf_image({capture::block{20, tape_samples(5, 400000)}}));
    const std::string output = write("out.tap", bytes{'o', 'l', 'd'});
    const pid_t child = start_traced({"-P", input, "-e", "trace=read", "-e",
                                      std::string("inject=read:error=EIO:when=") + c.when},
                                     {VELMORA_BINARY, input, output, "2"});
    const int status = wait_for(child, 20s);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 5);
    const std::string image = read_file(output);
    if (c.old_image_kept) {
        EXPECT_EQ(image, "old");
    } else {
        EXPECT_EQ(tap_image_problem(image, 2), "");
        EXPECT_GT(image.size(), 20U);
    }
}

INSTANTIATE_TEST_SUITE_P(reads, read_error,
                         testing::Values(read_error_case{"first", "1", true}, read_error_case{"second", "2", false}),
                         [](const testing::TestParamInfo<read_error_case>& test) { return test.param.name; });

struct lock_race_case {
    const char* name;
    bool replaced; // true: another file is moved onto the path; false: it is removed
};

class lock_race : public traced, public testing::WithParamInterface<lock_race_case> {};

// Between velmora's opening of a new output and its lock (delayed here), a
// run that held the file removes it, or a file is moved onto the path: the
// file locked is no longer the one the path names. It is let go and the
// path opened again, so the image ends up where the path says.
TEST_P(lock_race, the_path_is_opened_again_when_it_no_longer_names_the_locked_file)
{
    const bytes capture_bytes = capture::ctf_image({capture::block{20, tape_samples(6, 500)}});
    const std::string input = write("in.ctf", capture_bytes);
    ASSERT_EQ(velmora({input, path("expected.tap"), "2"}).status, 0);
    const std::string output = path("out.tap");
    const pid_t child = start_traced({"-P", output, "-e", "trace=flock", "-e", "inject=flock:delay_enter=1000000"},
                                     {VELMORA_BINARY, input, output, "2"});
    ASSERT_TRUE(wait_until([&output] { return exists(output); })) << "velmora never opened its output";
    if (GetParam().replaced) {
        const std::string other = write("other.tap", bytes{'o', 't', 'h', 'e', 'r'});
        ASSERT_EQ(rename(other.c_str(), output.c_str()), 0);
    } else {
        ASSERT_EQ(unlink(output.c_str()), 0);
    }
    const int status = wait_for(child, 20s);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_file(output), read_file(path("expected.tap"))) << "the image went to a file the path does not name";
}

// The path changes again while the file it named after the first change is
// being locked (the second lock, delayed like the first): velmora gives up
// with status 3 rather than chase the path, and writes into neither file.
TEST_F(traced, a_path_that_changes_twice_while_locking_is_refused)
{
    const std::string input = write("in.ctf", capture::ctf_image({capture::block{20, tape_samples(6, 500)}}));
    const std::string output = path("out.tap");
    const pid_t child = start_traced({"-P", output, "-e", "trace=flock,openat", "-e", "inject=flock:delay_enter=1000000"},
                                     {VELMORA_BINARY, input, output, "2"});
    // The first opening creates the file; the path is then given to another.
    ASSERT_TRUE(wait_until([&output] { return exists(output); })) << "velmora never opened its output";
    const std::string first = write("first.tap", bytes{'f', 'i', 'r', 's', 't'});
    ASSERT_EQ(rename(first.c_str(), output.c_str()), 0);
    // Once it has opened the path again (the second openat in the log, with
    // its result: strace writes a call's start before the call is made), the
    // path changes once more while the second lock waits.
    const auto opened_twice = [this] {
        const std::string log = read_file(path("trace.log"));
        unsigned opened = 0;
        for (std::size_t at = log.find("openat("); at != std::string::npos; at = log.find("openat(", at + 1)) {
            const std::size_t end = log.find('\n', at);
            if (end != std::string::npos && log.substr(at, end - at).find(") = ") != std::string::npos) {
                ++opened;
            }
        }
        return opened >= 2;
    };
    ASSERT_TRUE(wait_until(opened_twice)) << read_file(path("trace.log"));
    const std::string second = write("second.tap", bytes{'s', 'e', 'c', 'o', 'n', 'd'});
    ASSERT_EQ(rename(second.c_str(), output.c_str()), 0);
    const int status = wait_for(child, 20s);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 3) << read_file(path("trace.log"));
    EXPECT_EQ(read_file(output), "second") << "the file now at the path was touched";
}

INSTANTIATE_TEST_SUITE_P(changes, lock_race,
                         testing::Values(lock_race_case{"removed", false}, lock_race_case{"replaced", true}),
                         [](const testing::TestParamInfo<lock_race_case>& test) { return test.param.name; });

// While velmora waits for a reader of its output FIFO (its second opening
// of it, delayed here), the path is pointed at the input FIFO, which velmora
// itself reads. It must not write its image into its own input.
TEST_F(traced, an_output_fifo_swapped_for_the_input_while_waiting_is_refused)
{
    const std::string input = path("in.fifo");
    const std::string output = path("out.fifo");
    ASSERT_EQ(mkfifo(input.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(output.c_str(), 0600), 0);
    const pid_t child = start_traced({"-P", output, "-e", "trace=openat", "-e", "inject=openat:delay_enter=1000000:when=2"},
                                     {VELMORA_BINARY, input, output, "2"});
    const int writer = open(input.c_str(), O_WRONLY); // waits for velmora to open its input
    ASSERT_NE(writer, -1);
    const bytes capture_bytes = capture::ctf_image({capture::block{20, tape_samples(2, 100)}});
    EXPECT_EQ(::write(writer, capture_bytes.data(), capture_bytes.size()), static_cast<ssize_t>(capture_bytes.size()));
    // The first opening, without waiting, has found no reader.
    EXPECT_TRUE(wait_for_log("ENXIO"));
    ASSERT_EQ(link(input.c_str(), path("swap").c_str()), 0);
    ASSERT_EQ(rename(path("swap").c_str(), output.c_str()), 0);
    const int status = wait_for(child, 20s);
    close(writer);
    ASSERT_NE(status, -1) << "velmora hung, writing into its own input";
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 3);
}

// A failed run (here a file size limit) removes its unfinished image; a file
// the user moves onto the output path just before (the removal delayed here)
// must survive under that path.
TEST_F(traced, a_file_moved_onto_the_output_before_its_removal_is_kept)
{
    const std::string input = write("in.ctf", capture::ctf_image({capture::block{20, bytes(4000, 0xAA)}}));
    const std::string output = path("out.tap");
    const std::string good = write("good.tap", bytes{'g', 'o', 'o', 'd'});
    const std::string command = "ulimit -f 16 && exec \"$0\" -o \"$1\" -P \"$2\" "
                                "-e trace=ftruncate,unlink,unlinkat,rename,renameat,renameat2 "
                                "-e inject=unlink,unlinkat,rename,renameat,renameat2:delay_enter=1000000 "
                                "\"$3\" \"$4\" \"$2\" 2";
    std::thread mover([&] {
        if (wait_for_log("ftruncate")) {
            // The removal has started its delay by now.
            std::this_thread::sleep_for(300ms);
            rename(good.c_str(), output.c_str());
        }
    });
    const process_result run =
        run_process({"/bin/sh", "-c", command, strace, path("trace.log"), output, VELMORA_BINARY, input});
    mover.join();
    EXPECT_EQ(run.status, 6);
    EXPECT_EQ(read_file(output), "good") << "the file moved onto the path was removed";
}


// velmora-inspect's picture, interrupted as it is written (the signal comes
// with the picture's first write): no file is left, not even the old picture
// it was replacing.
TEST_F(traced, an_interrupted_picture_leaves_no_file)
{
    const std::string input = write("in.ctf", capture::ctf_image({capture::block{20, tape_samples(4, 500)}}));
    const std::string old_picture = "<svg xmlns=\"http://www.w3.org/2000/svg\"/>";
    const std::string picture = write("pic.svg", bytes(old_picture.begin(), old_picture.end()));
    const pid_t child = start_traced({"-P", picture, "-e", "trace=write", "-e", "inject=write:signal=SIGTERM:when=1"},
                                     {VELMORA_INSPECT_BINARY, "--svg", picture, input});
    const int status = wait_for(child, 20s);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_FALSE(exists(picture)) << "a partial picture was left";
}

// An interruption after one extracted program is written and let go, as
// the next is looked for: the picture, opened before the input was read
// and not yet written, is still discarded; the finished program stays.
TEST_F(traced, an_interruption_between_extracted_programs_still_discards_the_picture)
{
    const std::vector<std::uint8_t> program = {1, 2, 3, 4};
    std::vector<std::uint32_t> half_waves = rom_tape_program(0x1001, program, "TWICE");
    const std::vector<std::uint32_t> once = half_waves;
    half_waves.insert(half_waves.end(), once.begin(), once.end());
    const std::string input = write("in.ctf", capture::ctf_image({capture::block{
                                                   20, capture::pack_phases(capture::cycles_to_samples(half_waves, 20))}}));
    const std::string picture = path("pic.svg");
    const std::string programs = path("programs");
    ASSERT_EQ(mkdir(programs.c_str(), 0700), 0);
    const pid_t child = start_traced({"-P", programs + "/TWICE-2.prg", "-e", "inject=all:signal=SIGTERM:when=1"},
                                     {VELMORA_INSPECT_BINARY, "--svg", picture, "--extract", programs, input});
    const int status = wait_for(child, 20s);
    ASSERT_TRUE(WIFSIGNALED(status)) << status << "\n" << read_file(path("trace.log"));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_FALSE(exists(picture)) << "the unwritten picture was left";
    const std::vector<std::uint8_t> first = {0x01, 0x10, 1, 2, 3, 4};
    EXPECT_EQ(read_file(programs + "/TWICE.prg"), std::string(first.begin(), first.end()));
    EXPECT_FALSE(exists(programs + "/TWICE-2.prg"));
}

} // namespace
} // namespace velmora

// The output guard on POSIX systems.
#include "platform/output_guard.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {
namespace {

constexpr int interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int no_descriptor = -1;

// Read by the signal handler. The identity and the descriptor are written
// before the path is published and only while the interrupting signals are
// blocked; a lock-free atomic is the only kind of shared object a handler may
// read safely.
std::atomic<const char*> armed_path{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free);
file_identity armed_identity{};
int armed_descriptor = no_descriptor;

file_identity identity_of(const struct stat& status)
{
    return file_identity{true, S_ISREG(status.st_mode), S_ISDIR(status.st_mode),
                         static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

bool same_file(const struct stat& status, const file_identity& identity)
{
    return identity.known && static_cast<std::uint64_t>(status.st_dev) == identity.volume &&
           static_cast<std::uint64_t>(status.st_ino) == identity.index;
}

// Empties the regular file open at `descriptor`, then removes `path` if it
// names that file itself, not a symbolic link to it. Uses only
// async-signal-safe calls (ftruncate, lstat, unlink).
void discard(const char* path, const file_identity& identity, int descriptor)
{
    if (!identity.known || !identity.regular) {
        return;
    }
    if (descriptor != no_descriptor) {
        (void)ftruncate(descriptor, 0);
    }
    struct stat status {};
    if (lstat(path, &status) == 0 && S_ISREG(status.st_mode) && same_file(status, identity)) {
        unlink(path);
    }
}

// errno need not be kept: the process never runs on after this handler.
extern "C" void on_interrupt(int signal_number)
{
    const char* const path = armed_path.load();
    if (path != nullptr) {
        discard(path, armed_identity, armed_descriptor);
    }
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(signal_number, &default_action, nullptr);
    // Blocked while this handler runs; delivered with the default action as
    // soon as it returns.
    raise(signal_number);
}

sigset_t interrupt_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : interrupt_signals) {
        sigaddset(&set, signal_number);
    }
    return set;
}

// Blocks the interrupting signals; `previous` receives the mask to restore,
// so that a signal the caller had blocked stays blocked afterwards.
void block_interrupts(sigset_t& previous)
{
    const sigset_t set = interrupt_set();
    sigprocmask(SIG_BLOCK, &set, &previous);
}

void restore_interrupts(const sigset_t& previous)
{
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// From here until release_output, SIGINT, SIGTERM and SIGHUP discard the
// output and then end the process as the signal would have. A signal that
// the process was started ignoring stays ignored. Call with the interrupting
// signals blocked.
void arm_interrupt_cleanup(const guarded_output& output)
{
    armed_identity = output.identity;
    armed_descriptor = static_cast<int>(output.handle);
    armed_path.store(output.path);
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    action.sa_mask = interrupt_set();
    for (const int signal_number : interrupt_signals) {
        struct sigaction current {};
        sigaction(signal_number, nullptr, &current);
        // A signal the caller chose to ignore (nohup) stays ignored.
        if (current.sa_handler != SIG_IGN) {
            sigaction(signal_number, &action, nullptr);
        }
    }
}

// True if `status` is the regular file that standard output or standard
// error writes to: an image written there would mix with the messages.
bool is_standard_stream_file(const struct stat& status)
{
    for (const int descriptor : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat stream_status {};
        if (fstat(descriptor, &stream_status) == 0 && S_ISREG(stream_status.st_mode) &&
            same_file(status, identity_of(stream_status))) {
            return true;
        }
    }
    return false;
}

bool is_forbidden(const struct stat& status, const file_identity& input)
{
    return same_file(status, input) || (S_ISREG(status.st_mode) && is_standard_stream_file(status));
}

// Takes this run's write lock on a regular file. A file system without
// locks does not stop the run; a file another run holds does.
bool lock_for_writing(int descriptor)
{
    if (flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
        return true;
    }
    return errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS;
}

// The stream the image is written through, on a duplicate of the held
// descriptor; blocking from now on.
std::FILE* stream_for(int descriptor)
{
    const int flags = fcntl(descriptor, F_GETFL);
    if (flags == -1 || fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == -1) {
        return nullptr;
    }
    const int duplicate = dup(descriptor);
    if (duplicate == -1) {
        return nullptr;
    }
    std::FILE* const file = fdopen(duplicate, "wb");
    if (file == nullptr) {
        close(duplicate);
    }
    return file;
}

// Empties a regular file the run holds locked, looked at after the lock was
// taken. One that is already empty is left alone: emptying it anyway makes
// some file systems (ext4) write the whole image out from the run when it
// is closed, as they do for a file emptied to be rewritten.
bool empty_held_file(int descriptor)
{
    struct stat now {};
    return fstat(descriptor, &now) == 0 && (now.st_size == 0 || ftruncate(descriptor, 0) == 0);
}

// Opens without waiting for a FIFO's reader and without truncating; a
// regular file is checked, locked, emptied and armed before the interrupting
// signals are let through, so that no interruption leaves it behind unarmed.
// Returns the descriptor, or -1 with errno set (ENXIO: a FIFO with no reader
// yet) or with errno 0 when the file was refused.
int open_without_waiting(const char* path, const file_identity& input, guarded_output& output)
{
    constexpr mode_t creation_mode = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH; // as fopen
    sigset_t previous{};
    block_interrupts(previous);
    int descriptor = open(path, O_WRONLY | O_CREAT | O_NONBLOCK, creation_mode);
    int error = errno;
    struct stat status {};
    if (descriptor != -1) {
        // Checked again on the file actually opened: the path may have
        // changed since it was looked at.
        const bool usable = fstat(descriptor, &status) == 0 && !is_forbidden(status, input) &&
                            (!S_ISREG(status.st_mode) ||
                             (lock_for_writing(descriptor) && empty_held_file(descriptor)));
        if (usable) {
            output.identity = identity_of(status);
            output.handle = descriptor;
            if (output.identity.regular) {
                arm_interrupt_cleanup(output);
            }
        } else {
            close(descriptor);
            descriptor = -1;
            error = 0;
        }
    }
    restore_interrupts(previous);
    errno = error;
    return descriptor;
}

} // namespace

void prepare_process_io()
{
    // A pipe whose reader went away, and a file at the size limit, make a
    // write fail (EPIPE, EFBIG) instead of killing the process.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

bool identify_stream(std::FILE* file, file_identity& identity)
{
    struct stat status {};
    if (fstat(fileno(file), &status) != 0) {
        identity = file_identity{};
        return false;
    }
    identity = identity_of(status);
    return true;
}

bool open_guarded_output(const char* path, const file_identity& input, guarded_output& output)
{
    output = guarded_output{path, file_identity{}, nullptr, no_descriptor};
    struct stat status {};
    if (stat(path, &status) == 0 && is_forbidden(status, input)) {
        return false;
    }
    int descriptor = open_without_waiting(path, input, output);
    if (descriptor == -1 && errno == ENXIO) {
        // A FIFO that no process reads yet (or a device or socket that cannot
        // be opened, which fails again here). Wait for a reader with the
        // signals free; a FIFO is never created, truncated or removed.
        descriptor = open(path, O_WRONLY);
        if (descriptor != -1 && (fstat(descriptor, &status) != 0 || S_ISREG(status.st_mode))) {
            // Replaced by a regular file while waiting: it was neither
            // checked nor locked, so nothing is written to it.
            close(descriptor);
            return false;
        }
        if (descriptor != -1) {
            output.identity = identity_of(status);
            output.handle = descriptor;
        }
    }
    if (descriptor == -1) {
        return false;
    }
    output.stream = stream_for(descriptor);
    if (output.stream == nullptr) {
        release_output(output);
        return false;
    }
    return true;
}

void discard_unfinished_output(guarded_output& output)
{
    discard(output.path, output.identity, static_cast<int>(output.handle));
}

void release_output(guarded_output& output)
{
    armed_path.store(nullptr);
    if (output.handle != no_descriptor) {
        close(static_cast<int>(output.handle));
        output.handle = no_descriptor;
    }
}

} // namespace velmora

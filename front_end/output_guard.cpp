#include "front_end/output_guard.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {
namespace {

constexpr int interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Read by the signal handler. The identity is written before the path is
// published and only while the interrupting signals are blocked; a lock-free
// atomic is the only kind of shared object a handler may read safely.
std::atomic<const char*> armed_path{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free);
file_identity armed_identity{};

bool names_regular_file(const char* path, const file_identity& identity)
{
    struct stat status {};
    return identity.regular && stat(path, &status) == 0 && S_ISREG(status.st_mode) &&
           status.st_dev == identity.device && status.st_ino == identity.inode;
}

// Uses only async-signal-safe calls: stat, unlink, sigaction, raise. errno
// need not be kept: the process never runs on after this handler.
extern "C" void on_interrupt(int signal_number)
{
    const char* const path = armed_path.load();
    if (path != nullptr && names_regular_file(path, armed_identity)) {
        unlink(path);
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

// Turns an open descriptor into a blocking stream for writing; closes it on
// failure.
std::FILE* stream_for(int descriptor)
{
    const int flags = fcntl(descriptor, F_GETFL);
    if (flags == -1 || fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == -1) {
        close(descriptor);
        return nullptr;
    }
    std::FILE* const file = fdopen(descriptor, "wb");
    if (file == nullptr) {
        close(descriptor);
    }
    return file;
}

} // namespace

bool identify_open_file(int descriptor, file_identity& identity)
{
    struct stat status {};
    if (fstat(descriptor, &status) != 0) {
        return false;
    }
    identity = file_identity{S_ISREG(status.st_mode), S_ISDIR(status.st_mode), status.st_dev, status.st_ino};
    return true;
}

bool path_names_file(const char* path, const file_identity& identity)
{
    struct stat status {};
    return stat(path, &status) == 0 && status.st_dev == identity.device && status.st_ino == identity.inode;
}

std::FILE* open_output_for_writing(const char* path, file_identity& identity)
{
    identity = file_identity{};
    constexpr mode_t creation_mode = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH; // as fopen
    // The file is created and armed for removal with the interrupting signals
    // blocked, so that no interruption can leave it behind unarmed. Opening
    // without waiting keeps that moment short: a FIFO with no reader would
    // otherwise hold the process, deaf to those signals, until one came.
    sigset_t previous{};
    block_interrupts(previous);
    int descriptor = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, creation_mode);
    const int open_error = errno;
    if (descriptor != -1) {
        // An output whose identity is unknown is never removed.
        if (!identify_open_file(descriptor, identity)) {
            identity = file_identity{};
        } else if (identity.regular) {
            arm_interrupt_cleanup(path, identity);
        }
    }
    restore_interrupts(previous);
    if (descriptor == -1 && open_error == ENXIO) {
        // A FIFO that no process reads yet (or a device or socket that cannot
        // be opened, which fails again here). Wait for a reader with the
        // signals free; a FIFO is never created, truncated or removed.
        descriptor = open(path, O_WRONLY);
        if (descriptor != -1 && (!identify_open_file(descriptor, identity) || identity.regular)) {
            // Replaced by a regular file while waiting: it was neither
            // truncated nor armed, so nothing is written to it.
            close(descriptor);
            identity = file_identity{};
            return nullptr;
        }
    }
    if (descriptor == -1) {
        return nullptr;
    }
    std::FILE* const file = stream_for(descriptor);
    if (file == nullptr) {
        disarm_interrupt_cleanup();
    }
    return file;
}

void remove_unfinished_output(const char* path, const file_identity& identity)
{
    if (names_regular_file(path, identity)) {
        unlink(path);
    }
}

void arm_interrupt_cleanup(const char* path, const file_identity& identity)
{
    sigset_t previous{};
    block_interrupts(previous);
    armed_identity = identity;
    armed_path.store(path);
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
    restore_interrupts(previous);
}

void disarm_interrupt_cleanup()
{
    armed_path.store(nullptr);
}

} // namespace velmora

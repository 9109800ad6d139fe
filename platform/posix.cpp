// The POSIX face of the platform layer.
#include "platform/face.h"
#include "platform/files.h"
#include "platform/output_guard.h"
#include "platform/process.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace velmora {
namespace {

// The signals whose default action ends the process without the process
// having asked for them: each discards an unfinished output first.
constexpr int interrupt_signals[] = {SIGINT,  SIGTERM, SIGHUP,    SIGQUIT, SIGUSR1,
                                     SIGUSR2, SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF};

// An armed output, read by the signal handler. The identity, the
// descriptor and the aside name are written before the path is published
// and only while the interrupting signals are blocked; a lock-free atomic
// is the only kind of shared object a handler may read safely.
struct armed_output {
    std::atomic<const char*> path{nullptr}; // nullptr: the slot is free
    file_identity identity{};
    int descriptor = -1;
    const char* aside_path = nullptr;
};
static_assert(std::atomic<const char*>::is_always_lock_free);
armed_output armed[max_armed_outputs];

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

// Renames `from` to `to` unless `to` exists. Where the system cannot promise
// that in one step, `to` is looked at first: a private name nobody else uses.
bool rename_without_replacing(const char* from, const char* to)
{
#ifdef RENAME_NOREPLACE
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
#endif
    struct stat status {};
    return lstat(to, &status) != 0 && errno == ENOENT && rename(from, to) == 0;
}

// Empties the regular file open at `descriptor`; then moves `path` aside and
// removes it there if it is that file itself, not a symbolic link to it or
// a file moved onto the path meanwhile; anything else goes back to `path`
// (or, if something new took the path, stays at the aside name). Uses only
// async-signal-safe calls.
void discard(const char* path, const char* aside_path, const file_identity& identity, int descriptor)
{
    if (!identity.known || !identity.regular) {
        return;
    }
    if (descriptor != -1) {
        (void)ftruncate(descriptor, 0);
    }
    if (aside_path[0] == '\0' || !rename_without_replacing(path, aside_path)) {
        return;
    }
    struct stat status {};
    if (lstat(aside_path, &status) == 0 && S_ISREG(status.st_mode) && same_file(status, identity)) {
        unlink(aside_path);
    } else {
        (void)rename_without_replacing(aside_path, path);
    }
}

// errno need not be kept: the process never runs on after this handler.
extern "C" void on_interrupt(int signal_number)
{
    for (const armed_output& slot : armed) {
        const char* const path = slot.path.load();
        if (path != nullptr) {
            discard(path, slot.aside_path, slot.identity, slot.descriptor);
        }
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

// Blocks the interrupting signals for as long as it lives; a signal the
// caller had blocked stays blocked afterwards.
struct interrupts_blocked {
    sigset_t previous;
    interrupts_blocked()
    {
        const sigset_t set = interrupt_set();
        sigprocmask(SIG_BLOCK, &set, &previous);
    }
    interrupts_blocked(const interrupts_blocked&) = delete;
    interrupts_blocked& operator=(const interrupts_blocked&) = delete;
    ~interrupts_blocked() { sigprocmask(SIG_SETMASK, &previous, nullptr); }
};

// From here until release_output, the interrupting signals discard the
// output and then end the process as the signal would have. A signal that
// the process was started ignoring stays ignored. Call with the interrupting
// signals blocked.
void arm_interrupt_cleanup(const guarded_output& output)
{
    armed_output* const slot =
        std::find_if(std::begin(armed), std::end(armed), [](const armed_output& each) { return each.path.load() == nullptr; });
    assert(slot != std::end(armed) && "more outputs open at once than max_armed_outputs");
    slot->identity = output.identity;
    slot->descriptor = static_cast<int>(output.hold.value);
    slot->aside_path = output.aside_path;
    slot->path.store(output.path);
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
// error writes to: an output written there would mix with the messages.
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

output_open_result refusal(const struct stat& status, const file_identity& input)
{
    if (same_file(status, input)) {
        return output_open_result::is_input;
    }
    if (S_ISREG(status.st_mode) && is_standard_stream_file(status)) {
        return output_open_result::is_standard_stream;
    }
    return output_open_result::opened;
}

// True if `path` still names the file `status` describes.
bool path_names(const char* path, const struct stat& status)
{
    struct stat now {};
    return stat(path, &now) == 0 && same_file(now, identity_of(status));
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

// Whether the regular file held at `status`, reached by `path`, may be
// replaced: it is empty, or `may_replace` accepts its first bytes, read
// through a second opening that must reach the same file.
bool replaceable(const char* path, const struct stat& status, replace_check may_replace)
{
    if (may_replace == nullptr || status.st_size == 0) {
        return true;
    }
    const held_handle reader(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY));
    struct stat reader_status {};
    if (reader.value == no_handle || fstat(static_cast<int>(reader.value), &reader_status) != 0 ||
        !same_file(reader_status, identity_of(status))) {
        return false;
    }
    std::uint8_t start[replace_check_size];
    std::size_t size = 0;
    while (size < sizeof start) {
        const ssize_t got = read(static_cast<int>(reader.value), start + size, sizeof start - size);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            break;
        }
        size += static_cast<std::size_t>(got);
    }
    return may_replace(std::span<const std::uint8_t>(start, size));
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

// The checks of a file just opened for writing at `descriptor`: not the
// input, not a standard stream's file, and, for a regular file, locked for
// this run, still named by the path, replaceable, emptied and armed.
output_open_result take_opened(const char* path, const file_identity& input, replace_check may_replace,
                               held_handle& descriptor, guarded_output& output)
{
    const int held = static_cast<int>(descriptor.value);
    struct stat status {};
    if (fstat(held, &status) != 0) {
        return output_open_result::cannot_open;
    }
    if (const output_open_result refused = refusal(status, input); refused != output_open_result::opened) {
        return refused;
    }
    // Once locked, or once a FIFO's reader came, the path may name another
    // file: the one opened may have been removed or replaced meanwhile.
    if (S_ISREG(status.st_mode) && !lock_for_writing(held)) {
        return output_open_result::held_by_another;
    }
    if (!path_names(path, status)) {
        return output_open_result::path_changed;
    }
    if (S_ISREG(status.st_mode)) {
        if (!replaceable(path, status, may_replace)) {
            return output_open_result::not_replaceable;
        }
        if (!empty_held_file(held)) {
            return output_open_result::cannot_open;
        }
    }
    output.identity = identity_of(status);
    output.hold = std::move(descriptor);
    if (output.identity.regular) {
        arm_interrupt_cleanup(output);
    }
    return output_open_result::opened;
}

// Opens without truncating; a regular file is checked, locked, emptied and
// armed before the interrupting signals are let through, so that no
// interruption leaves it behind unarmed. A FIFO with no reader yet is waited
// for with the signals free, and checked again once it opens: the path may
// have been pointed at another file (the input) meanwhile. A FIFO is never
// created, truncated or removed.
output_open_result open_held(const char* path, const file_identity& input, replace_check may_replace,
                             guarded_output& output)
{
    constexpr mode_t creation_mode = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH; // as fopen
    {
        const interrupts_blocked blocked;
        held_handle descriptor(open(path, O_WRONLY | O_CREAT | O_NONBLOCK, creation_mode));
        if (descriptor.value != no_handle) {
            return take_opened(path, input, may_replace, descriptor, output);
        }
        if (errno != ENXIO) {
            return output_open_result::cannot_open;
        }
    }
    // A FIFO that no process reads yet (or a device or socket that cannot be
    // opened, which fails again here).
    held_handle descriptor(open(path, O_WRONLY));
    if (descriptor.value == no_handle) {
        return output_open_result::cannot_open;
    }
    struct stat status {};
    if (fstat(static_cast<int>(descriptor.value), &status) != 0 || S_ISREG(status.st_mode)) {
        // Replaced by a regular file while waiting: it was opened without
        // its signals blocked, so it is opened once more.
        return output_open_result::path_changed;
    }
    const interrupts_blocked blocked;
    return take_opened(path, input, may_replace, descriptor, output);
}

// The stream the output is written through, on a duplicate of the held
// descriptor; blocking from now on.
std::FILE* stream_for(int descriptor)
{
    const int flags = fcntl(descriptor, F_GETFL);
    if (flags == -1 || fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == -1) {
        return nullptr;
    }
    held_handle duplicate(dup(descriptor));
    if (duplicate.value == no_handle) {
        return nullptr;
    }
    std::FILE* const file = fdopen(static_cast<int>(duplicate.value), "wb");
    if (file != nullptr) {
        duplicate.value = no_handle; // the stream owns it now
    }
    return file;
}

} // namespace

bool identify_stream(std::FILE* file, file_identity& identity)
{
    struct stat status {};
    identity = fstat(fileno(file), &status) == 0 ? identity_of(status) : file_identity{};
    return identity.known;
}

void close_handle(native_handle handle)
{
    if (handle != no_handle) {
        close(static_cast<int>(handle));
    }
}

void prepare_process_io()
{
    // A pipe whose reader went away, and a file at the size limit, make a
    // write fail (EPIPE, EFBIG) instead of killing the process.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

namespace platform_face {

output_open_result check_named_file(const char* path, const file_identity& input)
{
    struct stat status {};
    return stat(path, &status) == 0 ? refusal(status, input) : output_open_result::opened;
}

output_open_result open_once(const char* path, const file_identity& input, replace_check may_replace,
                             guarded_output& output)
{
    const output_open_result result = open_held(path, input, may_replace, output);
    if (result != output_open_result::opened) {
        return result;
    }
    output.stream = stream_for(static_cast<int>(output.hold.value));
    if (output.stream == nullptr) {
        release_output(output);
        return output_open_result::cannot_open;
    }
    return output_open_result::opened;
}

// The folder, ".velmora-discard-" and the process number. Put together by
// hand: printf's machinery would cost every run its pages of memory.
void set_aside_path(guarded_output& output)
{
    constexpr char name[] = ".velmora-discard-";
    const char* const slash = std::strrchr(output.path, '/');
    const std::size_t folder_length = slash == nullptr ? 0 : static_cast<std::size_t>(slash - output.path) + 1;
    char digits[24];
    std::size_t digit_count = 0;
    for (auto number = static_cast<unsigned long>(getpid()); number > 0 || digit_count == 0; number /= 10) {
        digits[digit_count++] = static_cast<char>('0' + number % 10);
    }
    if (folder_length + sizeof name + digit_count > sizeof output.aside_path) {
        output.aside_path[0] = '\0';
        return;
    }
    char* end = std::copy(output.path, output.path + folder_length, output.aside_path);
    end = std::copy(name, name + sizeof name - 1, end);
    end = std::reverse_copy(digits, digits + digit_count, end);
    *end = '\0';
}

} // namespace platform_face

void discard_unfinished_output(guarded_output& output)
{
    discard(output.path, output.aside_path, output.identity, static_cast<int>(output.hold.value));
}

void release_output(guarded_output& output)
{
    // Its own slot only: an output opened before it stays armed.
    for (armed_output& slot : armed) {
        if (slot.path.load() == output.path && slot.descriptor == static_cast<int>(output.hold.value)) {
            slot.path.store(nullptr);
        }
    }
    output.hold.reset();
}

} // namespace velmora

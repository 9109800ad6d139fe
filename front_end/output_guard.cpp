#include "front_end/output_guard.h"

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {
namespace {

constexpr int interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Read by the signal handler; written only while the signals are blocked or
// before they are handled.
const char* volatile armed_path = nullptr;
file_identity armed_identity{};

bool names_regular_file(const char* path, const file_identity& identity)
{
    struct stat status {};
    return identity.regular && stat(path, &status) == 0 && S_ISREG(status.st_mode) &&
           status.st_dev == identity.device && status.st_ino == identity.inode;
}

// Uses only async-signal-safe calls: stat, unlink, sigaction, raise.
extern "C" void on_interrupt(int signal_number)
{
    const char* const path = armed_path;
    if (path != nullptr && names_regular_file(path, armed_identity)) {
        unlink(path);
    }
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(signal_number, &default_action, nullptr);
    // Delivered with the default action as soon as this handler returns.
    raise(signal_number);
}

void change_interrupt_mask(int how)
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : interrupt_signals) {
        sigaddset(&set, signal_number);
    }
    sigprocmask(how, &set, nullptr);
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

void remove_unfinished_output(const char* path, const file_identity& identity)
{
    if (names_regular_file(path, identity)) {
        unlink(path);
    }
}

void arm_interrupt_cleanup(const char* path, const file_identity& identity)
{
    armed_identity = identity;
    armed_path = path;
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : interrupt_signals) {
        sigaddset(&action.sa_mask, signal_number);
    }
    for (const int signal_number : interrupt_signals) {
        struct sigaction previous {};
        sigaction(signal_number, nullptr, &previous);
        // A signal the caller chose to ignore (nohup) stays ignored.
        if (previous.sa_handler != SIG_IGN) {
            sigaction(signal_number, &action, nullptr);
        }
    }
}

void disarm_interrupt_cleanup()
{
    armed_path = nullptr;
}

void block_interrupts()
{
    change_interrupt_mask(SIG_BLOCK);
}

void unblock_interrupts()
{
    change_interrupt_mask(SIG_UNBLOCK);
}

} // namespace velmora

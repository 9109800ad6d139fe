// The guarded output: protection of the files a run writes. The input is
// never opened for writing; an output is opened only when nothing else
// writes to it, and written only while its path names the file opened and
// locked; an unfinished output is discarded on failure or interruption
// without following a link, touching a device or removing any file that is
// not the run's own. One face per kind of system (posix.cpp, windows.cpp).
#ifndef VELMORA_PLATFORM_OUTPUT_GUARD_H
#define VELMORA_PLATFORM_OUTPUT_GUARD_H

#include "platform/files.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

namespace velmora {

// Room for the private name an unfinished output is renamed to: its folder
// (as long as the system's longest path) and a name of its own.
inline constexpr std::size_t aside_path_capacity = 4096 + 64;

// Outputs that may be open, and armed, at the same time: velmora-inspect's
// picture and one extracted program, and room to spare. Opening more is a
// programming error.
inline constexpr std::size_t max_armed_outputs = 4;

// How many bytes of an existing output a replace_check is shown at most.
inline constexpr std::size_t replace_check_size = 1024;

// Whether an existing, non-empty regular file whose first bytes are `start`
// (up to replace_check_size) may be replaced. nullptr: any file may be.
using replace_check = bool (*)(std::span<const std::uint8_t> start);

// How the opening of an output ended.
enum class output_open_result {
    opened,
    is_input,           // the output is the input file, under whatever name or link
    is_standard_stream, // the regular file standard output or standard error writes to
    held_by_another,    // another run (another program, on Windows) holds it for writing
    not_replaceable,    // an existing file the replace_check refused, or that could not be read for it
    path_changed,       // the path went on naming another file than the one opened
    cannot_open,        // anything else: missing folder, no permission, a folder, ...
};

// The output of a run, from open_guarded_output to release_output.
struct guarded_output {
    const char* path = nullptr; // must outlive the guard
    file_identity identity{};   // of the file opened (regular or not)
    std::FILE* stream = nullptr; // written by the caller, who also closes it
    held_handle hold;            // the system's own hold on the file, kept after
                                 // the stream is closed: it carries the write lock
                                 // and lets an unfinished output be discarded
    char aside_path[aside_path_capacity] = {}; // the private name in the path's
                                 // folder that the path is renamed to before it is
                                 // removed; empty: never removed, only emptied (a
                                 // path too long; Windows keeps its own, in UTF-16)
};

// Opens `path` to write, creating it if need be. Refuses, with nothing
// truncated or written, an output that is the input file, the regular file
// that standard output or standard error writes to, a regular file another
// run holds, or an existing non-empty regular file that `may_replace`
// refuses. A regular file is locked for this run, looked at again (if the
// path no longer names it, it is let go and opened once more; a second
// change is refused), then emptied, and armed so that an interrupting signal
// discards it as discard_unfinished_output does. A FIFO with no reader yet is
// waited for with the interrupting signals free, then checked again in the
// same way. Interrupting signals: SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1,
// SIGUSR2, SIGALRM, SIGXCPU, SIGVTALRM and SIGPROF on POSIX, Ctrl-C,
// Ctrl-Break and the console's closing on Windows; one the process was
// started ignoring stays ignored, and after the discard the process ends as
// the signal would.
output_open_result open_guarded_output(const char* path, const file_identity& input, replace_check may_replace,
                                       guarded_output& output);

// Discards an unfinished output: a regular file is emptied through the held
// handle (so no other hard link keeps a part of it); then the path is renamed
// to the private aside_path, and removed there if what was renamed is that
// same regular file and no link; anything else is put back. Devices, FIFOs
// and sockets are never emptied or removed.
void discard_unfinished_output(guarded_output& output);

// Disarms the interrupt cleanup of this output (others opened before it stay
// armed) and lets go of the file and its lock. The stream must be closed
// already.
void release_output(guarded_output& output);

// The one way an output's writing ends: closes its stream, keeps the file if
// everything was `written` and the close succeeded, else discards it as
// discard_unfinished_output does, then releases it. True if kept.
bool finish_guarded_output(guarded_output& output, bool written);

} // namespace velmora

#endif

// Protection of the files a run touches, and everything else the run needs
// of the operating system. The input is never opened for writing; an output
// is opened only when nothing else writes to it; an unfinished image is
// discarded on failure or interruption without following a link or touching
// a device. One implementation per kind of system, picked by the build:
// output_guard_posix.cpp and output_guard_windows.cpp.
#ifndef VELMORA_PLATFORM_OUTPUT_GUARD_H
#define VELMORA_PLATFORM_OUTPUT_GUARD_H

#include <cstdint>
#include <cstdio>

namespace velmora {

// What tells one file from another whatever name it is reached by.
struct file_identity {
    bool known;     // false: could not be queried; never matches, never removed
    bool regular;
    bool directory;
    std::uint64_t volume; // device, or volume serial number
    std::uint64_t index;  // inode, or file index on the volume
};

// The output of a run, from open_guarded_output to release_output.
struct guarded_output {
    const char* path;       // must outlive the guard
    file_identity identity; // of the file opened (regular or not)
    std::FILE* stream;      // the image is written here; the conversion closes it
    std::intptr_t handle;   // the system's own hold on the file, kept after the
                            // stream is closed: it carries the write lock and
                            // lets an unfinished image be discarded
};

// Sets the process up once, before anything is written: a write to a pipe
// without a reader, or past the file size limit, fails like any other write
// instead of ending the process; standard output writes bytes unchanged.
void prepare_process_io();

// Identity of an open stream; false (identity not known) if it cannot be
// queried.
bool identify_stream(std::FILE* file, file_identity& identity);

// Opens `path` to write an image, creating it if need be. Refuses, with
// nothing created, truncated or written, an output that is the input file,
// the regular file that standard output or standard error writes to, or a
// regular file another run holds. A regular file is locked for this run, then
// emptied, and armed so that an interrupting signal discards it as
// discard_unfinished_output does. A FIFO with no reader yet is waited for
// with the interrupting signals free. False if refused or not opened.
bool open_guarded_output(const char* path, const file_identity& input, guarded_output& output);

// Discards an unfinished image: a regular file is emptied through the held
// handle (so no other hard link keeps a partial image), then `path` is
// removed if it still names that same regular file and is no symbolic link.
// Devices, FIFOs and sockets are never emptied or removed.
void discard_unfinished_output(guarded_output& output);

// Disarms the interrupt cleanup and lets go of the file and its lock. The
// stream must be closed already.
void release_output(guarded_output& output);

} // namespace velmora

#endif

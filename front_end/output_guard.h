// Protection of the files a run touches: the input is never opened for
// writing, and an unfinished image is removed on failure or interruption,
// but only when it is a regular file (never a device such as /dev/full).
#ifndef VELMORA_FRONT_END_OUTPUT_GUARD_H
#define VELMORA_FRONT_END_OUTPUT_GUARD_H

#include <cstdio>
#include <sys/types.h>

namespace velmora {

struct file_identity {
    bool regular;
    bool directory;
    dev_t device;
    ino_t inode;
};

// Identity of an open file; false if it cannot be queried.
bool identify_open_file(int descriptor, file_identity& identity);

// True if `path` exists and is the very file `identity` describes (the same
// path, another name, a hard link or a symbolic link to it).
bool path_names_file(const char* path, const file_identity& identity);

// Opens `path` for writing as fopen(path, "wb") does, creating or truncating
// it, and fills `identity` (all zero when it cannot be known: such a file is
// never removed). A regular file is armed for removal on interruption (see
// arm_interrupt_cleanup) before any interrupting signal can be handled, so no
// interruption leaves a created file behind. A FIFO with no reader yet is
// waited for with those signals free, so that the wait can be interrupted.
// Returns nullptr, with nothing armed, if the file cannot be opened.
std::FILE* open_output_for_writing(const char* path, file_identity& identity);

// Removes `path` if it still names the regular file `identity` describes.
void remove_unfinished_output(const char* path, const file_identity& identity);

// From arm to disarm, SIGINT, SIGTERM and SIGHUP remove the output as above
// and then end the process as the signal would have. A signal that the
// process was started ignoring stays ignored. `path` must outlive it.
void arm_interrupt_cleanup(const char* path, const file_identity& identity);
void disarm_interrupt_cleanup();

} // namespace velmora

#endif

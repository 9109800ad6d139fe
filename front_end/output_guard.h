// Protection of the files a run touches: the input is never opened for
// writing, and an unfinished image is removed on failure or interruption,
// but only when it is a regular file (never a device such as /dev/full).
#ifndef VELMORA_FRONT_END_OUTPUT_GUARD_H
#define VELMORA_FRONT_END_OUTPUT_GUARD_H

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

// Removes `path` if it still names the regular file `identity` describes.
void remove_unfinished_output(const char* path, const file_identity& identity);

// From arm to disarm, SIGINT, SIGTERM and SIGHUP remove the output as above
// and then end the process as the signal would have. `path` must outlive it.
void arm_interrupt_cleanup(const char* path, const file_identity& identity);
void disarm_interrupt_cleanup();

// Blocks the interrupting signals until the matching unblock, so that the
// output is never created without being armed for removal.
void block_interrupts();
void unblock_interrupts();

} // namespace velmora

#endif

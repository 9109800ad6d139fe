// Files as the operating system holds them: what tells one file from
// another whatever name it is reached by, the system's handle on an open
// file, small holders that own a handle or a stream while it changes hands,
// and the opening of an input. One face per kind of system (posix.cpp,
// windows.cpp), picked by the build.
#ifndef VELMORA_PLATFORM_FILES_H
#define VELMORA_PLATFORM_FILES_H

#include <cstdint>
#include <cstdio>
#include <utility>

namespace velmora {

// What tells one file from another whatever name it is reached by.
struct file_identity {
    bool known;     // false: could not be queried; never matches, never removed
    bool regular;
    bool directory;
    std::uint64_t volume; // device, or volume serial number
    std::uint64_t index;  // inode, or file index on the volume
};

// The system's hold on an open file: a descriptor on POSIX, a HANDLE on
// Windows, widened to one type.
using native_handle = std::intptr_t;
// No handle, on both systems (-1 is no descriptor, and INVALID_HANDLE_VALUE).
inline constexpr native_handle no_handle = -1;

// Closes `handle` unless it is no_handle: the one way a held handle is closed.
void close_handle(native_handle handle);

// Owns a handle: closed when the holder goes, unless released.
struct held_handle {
    native_handle value = no_handle;

    held_handle() = default;
    explicit held_handle(native_handle handle) : value(handle) {}
    held_handle(held_handle&& other) noexcept : value(std::exchange(other.value, no_handle)) {}
    held_handle& operator=(held_handle&& other) noexcept
    {
        reset(std::exchange(other.value, no_handle));
        return *this;
    }
    held_handle(const held_handle&) = delete;
    held_handle& operator=(const held_handle&) = delete;
    ~held_handle() { close_handle(value); }

    void reset(native_handle handle = no_handle)
    {
        close_handle(value);
        value = handle;
    }
};

// Owns a stream that is only read: closed, unchecked, when the holder goes.
struct held_stream {
    std::FILE* file = nullptr;

    held_stream() = default;
    explicit held_stream(std::FILE* stream) : file(stream) {}
    held_stream(held_stream&& other) noexcept : file(std::exchange(other.file, nullptr)) {}
    held_stream& operator=(held_stream&& other) noexcept
    {
        std::swap(file, other.file);
        return *this;
    }
    held_stream(const held_stream&) = delete;
    held_stream& operator=(const held_stream&) = delete;
    ~held_stream()
    {
        if (file != nullptr) {
            std::fclose(file);
        }
    }
};

// The input of a run: its stream, read in binary mode, and its identity,
// which no output of the run may have.
struct input_file {
    held_stream stream;
    file_identity identity;
};

// Identity of an open stream; false (identity not known) if it cannot be
// queried. A console, pipe or device on Windows is known but matches nothing.
bool identify_stream(std::FILE* file, file_identity& identity);

// Opens `path` to read in binary mode. False, with nothing held, if it
// cannot be opened or its identity queried, or it is a directory (which
// opens for reading on some systems but holds no file).
bool open_input(const char* path, input_file& input);

// Standard input as the input, in binary mode; false if it is a directory.
// Where its identity cannot be queried it is still read, with an identity
// that matches no output.
bool open_standard_input(input_file& input);

} // namespace velmora

#endif

// The Windows face of the output guard. A file's identity is its volume
// serial number and file index; the write lock is the share mode the output
// is opened with (other programs may read it, none may write it); Ctrl-C,
// Ctrl-Break and the closing of the console window are the interruptions.
// Paths are taken as the C runtime takes them, in the ANSI code page.
#include "platform/output_guard.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <string>

namespace velmora {
namespace {

// The exit code of a process ended by Ctrl-C, as the system's own handler
// leaves it (STATUS_CONTROL_C_EXIT).
constexpr UINT interrupted_exit_code = 0xC000013AU;

// What the console control handler needs, set while an output is armed.
// The handler runs on a thread of its own: `guard` keeps it and the main
// thread from working on the output at the same time.
struct armed_output {
    SRWLOCK guard;
    bool handler_installed;
    bool armed;
    std::wstring path;   // made ahead, so the handler converts nothing
    file_identity identity;
    HANDLE hold;
    HANDLE main_thread;
};

armed_output armed{SRWLOCK_INIT, false, false, {}, {}, nullptr, nullptr};

HANDLE handle_of(std::intptr_t handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

// Identity of an open handle. A console, pipe or device (NUL, CON) has no
// file index: its identity is known but matches no path (see same_file).
bool identify_handle(HANDLE handle, file_identity& identity)
{
    identity = file_identity{};
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const DWORD type = GetFileType(handle);
    if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) {
        return false;
    }
    if (type != FILE_TYPE_DISK) {
        identity.known = true;
        return true;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle, &information)) {
        return false;
    }
    const bool directory = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    identity = file_identity{true, !directory, directory, information.dwVolumeSerialNumber,
                             (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
    return true;
}

// Only files on a volume (regular files and folders) can be told apart.
bool same_file(const file_identity& a, const file_identity& b)
{
    return a.known && b.known && (a.regular || a.directory) && (b.regular || b.directory) && a.volume == b.volume &&
           a.index == b.index;
}

// The identity of whatever `path` names, following links; false if nothing
// can be opened there. Opening asks for no access at all, so nothing is
// written and no share mode is in the way.
bool identify_path(const char* path, file_identity& identity)
{
    const HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool identified = identify_handle(handle, identity);
    CloseHandle(handle);
    return identified;
}

// True if standard output or standard error writes to the regular file
// `identity` describes.
bool is_standard_output_file(const file_identity& identity)
{
    for (std::FILE* const stream : {stdout, stderr}) {
        file_identity standard{};
        if (identify_stream(stream, standard) && standard.regular && same_file(standard, identity)) {
            return true;
        }
    }
    return false;
}

// True if the image may not be written to the file `identity` describes.
bool is_refused(const file_identity& identity, const file_identity& input)
{
    return same_file(identity, input) || is_standard_output_file(identity);
}

std::wstring wide_path(const char* path)
{
    const UINT code_page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    const int length = MultiByteToWideChar(code_page, 0, path, -1, nullptr, 0);
    if (length <= 0) {
        return std::wstring();
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(code_page, 0, path, -1, wide.data(), length);
    wide.resize(static_cast<std::size_t>(length - 1));
    return wide;
}

bool empty_through(HANDLE hold)
{
    LARGE_INTEGER start{};
    return SetFilePointerEx(hold, start, nullptr, FILE_BEGIN) && SetEndOfFile(hold);
}

// Removes `path` if it is still the regular file `identity` describes and no
// symbolic link or junction: the link itself is opened, never its target.
void remove_if_same_file(const std::wstring& path, const file_identity& identity)
{
    if (path.empty()) {
        return;
    }
    const HANDLE handle =
        CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    const bool queried = GetFileInformationByHandle(handle, &information) != 0;
    file_identity found{};
    const bool identified = identify_handle(handle, found);
    CloseHandle(handle);
    if (queried && identified && found.regular && same_file(found, identity) &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        DeleteFileW(path.c_str());
    }
}

// Runs on a thread of its own. The main thread is stopped before the image
// is emptied, so that no write of it lands after; from then on nothing here
// takes memory from the heap, whose lock the stopped thread may hold.
BOOL WINAPI on_console_event(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    AcquireSRWLockExclusive(&armed.guard);
    if (!armed.armed) {
        // Nothing to clean up: the process ends as it would without us.
        ReleaseSRWLockExclusive(&armed.guard);
        return FALSE;
    }
    remove_if_same_file(armed.path, armed.identity);
    if (SuspendThread(armed.main_thread) != static_cast<DWORD>(-1)) {
        // Returns once the thread has really stopped.
        CONTEXT context{};
        context.ContextFlags = CONTEXT_CONTROL;
        GetThreadContext(armed.main_thread, &context);
    }
    empty_through(armed.hold);
    TerminateProcess(GetCurrentProcess(), interrupted_exit_code);
    return TRUE;
}

void arm(const char* path, const file_identity& identity, HANDLE hold)
{
    std::wstring wide = wide_path(path);
    HANDLE main_thread = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &main_thread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    AcquireSRWLockExclusive(&armed.guard);
    armed.path.swap(wide);
    armed.identity = identity;
    armed.hold = hold;
    armed.main_thread = main_thread;
    armed.armed = true;
    ReleaseSRWLockExclusive(&armed.guard);
    if (!armed.handler_installed) {
        armed.handler_installed = SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
    }
}

void disarm()
{
    AcquireSRWLockExclusive(&armed.guard);
    const bool was_armed = armed.armed;
    armed.armed = false;
    if (was_armed && armed.main_thread != nullptr) {
        CloseHandle(armed.main_thread);
    }
    armed.main_thread = nullptr;
    armed.hold = nullptr;
    ReleaseSRWLockExclusive(&armed.guard);
}

} // namespace

void prepare_process_io()
{
    // Bytes unchanged: "\n" ends a line as on Linux, never "\r\n".
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // A drive without a medium is an output that cannot be opened, not a
    // dialog box that holds the run.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

bool identify_stream(std::FILE* file, file_identity& identity)
{
    identity = file_identity{};
    const int descriptor = _fileno(file);
    if (descriptor < 0) {
        return false;
    }
    return identify_handle(reinterpret_cast<HANDLE>(_get_osfhandle(descriptor)), identity);
}

bool open_guarded_output(const char* path, const file_identity& input, guarded_output& output)
{
    output = guarded_output{path, file_identity{}, nullptr, 0};
    file_identity existing{};
    if (identify_path(path, existing) && is_refused(existing, input)) {
        return false;
    }
    // Other programs may read the image but not write it, and a second run
    // on the same output fails here; deleting stays allowed, so that the
    // unfinished image can be removed while it is open. Opened without
    // truncation: the file is emptied only once it is held.
    const HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    file_identity identity{};
    // Named the input or a standard output file after all (the path was
    // changed since it was looked at): left as it was.
    if (!identify_handle(handle, identity) || is_refused(identity, input)) {
        CloseHandle(handle);
        return false;
    }
    // The hold outlives the stream: the same open file, so it keeps the
    // share mode until released.
    HANDLE hold = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &hold, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        CloseHandle(handle);
        return false;
    }
    if (identity.regular) {
        arm(path, identity, hold);
        if (!empty_through(hold)) {
            disarm();
            CloseHandle(handle);
            CloseHandle(hold);
            return false;
        }
    }
    output = guarded_output{path, identity, nullptr, reinterpret_cast<std::intptr_t>(hold)};
    const int descriptor = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (descriptor == -1) {
        CloseHandle(handle);
        release_output(output);
        return false;
    }
    output.stream = _fdopen(descriptor, "wb");
    if (output.stream == nullptr) {
        _close(descriptor);
        release_output(output);
        return false;
    }
    return true;
}

void discard_unfinished_output(guarded_output& output)
{
    if (!output.identity.regular || output.handle == 0) {
        return;
    }
    AcquireSRWLockExclusive(&armed.guard);
    // Emptied first, so that no other hard link keeps a partial image.
    empty_through(handle_of(output.handle));
    remove_if_same_file(wide_path(output.path), output.identity);
    ReleaseSRWLockExclusive(&armed.guard);
}

void release_output(guarded_output& output)
{
    disarm();
    if (output.handle != 0) {
        CloseHandle(handle_of(output.handle));
        output.handle = 0;
    }
}

} // namespace velmora

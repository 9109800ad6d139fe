// The Windows face of the platform layer. A file's identity is its volume
// serial number and file index; the write lock is the share mode the output
// is opened with (other programs may read it, none may write it); Ctrl-C,
// Ctrl-Break and the closing of the console window are the interruptions.
// Paths are taken as the C runtime takes them, in the ANSI code page.
#include "platform/face.h"
#include "platform/files.h"
#include "platform/output_guard.h"
#include "platform/process.h"

#include <windows.h>

#include <algorithm>
#include <cassert>
#include <fcntl.h>
#include <io.h>
#include <iterator>
#include <string>
#include <utility>

namespace velmora {
namespace {

// The exit code of a process ended by Ctrl-C, as the system's own handler
// leaves it (STATUS_CONTROL_C_EXIT).
constexpr UINT interrupted_exit_code = 0xC000013AU;

// What the console control handler needs of an armed output.
struct armed_output {
    bool armed;
    std::wstring path; // made ahead, so the handler converts nothing
    std::wstring aside_path;
    file_identity identity;
    HANDLE hold;
};

// The outputs armed, and the thread that writes them. The handler runs on a
// thread of its own: `guard` keeps it and the main thread from working on
// the outputs at the same time.
struct armed_outputs {
    SRWLOCK guard;
    bool handler_installed;
    HANDLE main_thread; // while any output is armed
    armed_output slots[max_armed_outputs];
};

armed_outputs armed{SRWLOCK_INIT, false, nullptr, {}};

HANDLE handle_of(native_handle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

native_handle native(HANDLE handle)
{
    return reinterpret_cast<native_handle>(handle);
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
    const held_handle handle(native(CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)));
    return handle.value != no_handle && identify_handle(handle_of(handle.value), identity);
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

output_open_result refusal(const file_identity& identity, const file_identity& input)
{
    if (same_file(identity, input)) {
        return output_open_result::is_input;
    }
    if (is_standard_output_file(identity)) {
        return output_open_result::is_standard_stream;
    }
    return output_open_result::opened;
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

// The private name in the folder of `path` that an unfinished output is
// renamed to before it is removed.
std::wstring aside_path_for(const std::wstring& path)
{
    const std::size_t separator = path.find_last_of(L"\\/:");
    const std::wstring folder = separator == std::wstring::npos ? std::wstring() : path.substr(0, separator + 1);
    return folder + L".velmora-discard-" + std::to_wstring(GetCurrentProcessId());
}

bool empty_through(HANDLE hold)
{
    LARGE_INTEGER start{};
    return SetFilePointerEx(hold, start, nullptr, FILE_BEGIN) && SetEndOfFile(hold);
}

// Renames `path` to `aside_path` (never over an existing file), then
// removes it there if it is the regular file `identity` describes and no
// symbolic link or junction, judged and deleted through one handle on the
// link itself; anything else goes back to `path`.
void remove_if_same_file(const std::wstring& path, const std::wstring& aside_path, const file_identity& identity)
{
    if (path.empty() || !MoveFileExW(path.c_str(), aside_path.c_str(), 0)) {
        return;
    }
    const held_handle handle(native(CreateFileW(aside_path.c_str(), DELETE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                                nullptr)));
    BY_HANDLE_FILE_INFORMATION information{};
    file_identity found{};
    const bool ours = handle.value != no_handle && GetFileInformationByHandle(handle_of(handle.value), &information) &&
                      identify_handle(handle_of(handle.value), found) && found.regular && same_file(found, identity) &&
                      (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    if (ours) {
        FILE_DISPOSITION_INFO disposition{};
        disposition.DeleteFile = TRUE;
        if (!SetFileInformationByHandle(handle_of(handle.value), FileDispositionInfo, &disposition,
                                        sizeof disposition)) {
            // A private name: nothing else can have taken it since.
            DeleteFileW(aside_path.c_str());
        }
        return;
    }
    MoveFileExW(aside_path.c_str(), path.c_str(), 0);
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
    if (armed.main_thread == nullptr) {
        // Nothing to clean up: the process ends as it would without us.
        ReleaseSRWLockExclusive(&armed.guard);
        return FALSE;
    }
    for (const armed_output& slot : armed.slots) {
        if (slot.armed) {
            remove_if_same_file(slot.path, slot.aside_path, slot.identity);
        }
    }
    if (SuspendThread(armed.main_thread) != static_cast<DWORD>(-1)) {
        // Returns once the thread has really stopped.
        CONTEXT context{};
        context.ContextFlags = CONTEXT_CONTROL;
        GetThreadContext(armed.main_thread, &context);
    }
    for (const armed_output& slot : armed.slots) {
        if (slot.armed) {
            empty_through(slot.hold);
        }
    }
    TerminateProcess(GetCurrentProcess(), interrupted_exit_code);
    return TRUE;
}

void arm(const char* path, const file_identity& identity, HANDLE hold)
{
    std::wstring wide = wide_path(path);
    std::wstring aside = aside_path_for(wide);
    AcquireSRWLockExclusive(&armed.guard);
    if (armed.main_thread == nullptr) {
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &armed.main_thread, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    }
    armed_output* const slot = std::find_if(std::begin(armed.slots), std::end(armed.slots),
                                            [](const armed_output& each) { return !each.armed; });
    assert(slot != std::end(armed.slots) && "more outputs open at once than max_armed_outputs");
    slot->path.swap(wide);
    slot->aside_path.swap(aside);
    slot->identity = identity;
    slot->hold = hold;
    slot->armed = true;
    ReleaseSRWLockExclusive(&armed.guard);
    if (!armed.handler_installed) {
        armed.handler_installed = SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
    }
}

// Disarms the output held by `hold`; others stay armed.
void disarm(HANDLE hold)
{
    AcquireSRWLockExclusive(&armed.guard);
    bool any_armed = false;
    for (armed_output& slot : armed.slots) {
        if (slot.armed && slot.hold == hold) {
            slot.armed = false;
            slot.hold = nullptr;
        }
        any_armed = any_armed || slot.armed;
    }
    if (!any_armed && armed.main_thread != nullptr) {
        CloseHandle(armed.main_thread);
        armed.main_thread = nullptr;
    }
    ReleaseSRWLockExclusive(&armed.guard);
}

// Whether the regular file open at `handle` (for reading too) may be
// replaced: it is empty, or `may_replace` accepts its first bytes.
bool replaceable(HANDLE handle, replace_check may_replace)
{
    if (may_replace == nullptr) {
        return true;
    }
    std::uint8_t start[replace_check_size];
    DWORD got = 0;
    if (!ReadFile(handle, start, sizeof start, &got, nullptr)) {
        return false;
    }
    LARGE_INTEGER origin{};
    return SetFilePointerEx(handle, origin, nullptr, FILE_BEGIN) &&
           (got == 0 || may_replace(std::span<const std::uint8_t>(start, got)));
}

// Other programs may read the output but not write it, and a second run on
// the same output fails here: the share mode is the lock, taken with the
// opening. Deleting and renaming stay allowed, so that the unfinished output
// can be moved aside and removed while it is open. Opened without
// truncation: the file is emptied only once it is checked.
output_open_result open_held(const char* path, const file_identity& input, replace_check may_replace,
                             guarded_output& output)
{
    const DWORD access = GENERIC_WRITE | (may_replace != nullptr ? GENERIC_READ : 0);
    held_handle handle(native(CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr)));
    if (handle.value == no_handle) {
        const DWORD error = GetLastError();
        return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ? output_open_result::held_by_another
                                                                                 : output_open_result::cannot_open;
    }
    file_identity identity{};
    if (!identify_handle(handle_of(handle.value), identity)) {
        return output_open_result::cannot_open;
    }
    // Named the input or a standard output file after all (the path was
    // changed since it was looked at): left as it was.
    if (const output_open_result refused = refusal(identity, input); refused != output_open_result::opened) {
        return refused;
    }
    file_identity named{};
    if (identity.regular && (!identify_path(path, named) || !same_file(named, identity))) {
        return output_open_result::path_changed;
    }
    if (identity.regular && !replaceable(handle_of(handle.value), may_replace)) {
        return output_open_result::not_replaceable;
    }
    // The hold outlives the stream: the same open file, so it keeps the
    // share mode until released.
    HANDLE hold = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle_of(handle.value), GetCurrentProcess(), &hold, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return output_open_result::cannot_open;
    }
    output.hold.reset(native(hold));
    output.identity = identity;
    if (identity.regular) {
        arm(path, identity, hold);
        if (!empty_through(hold)) {
            release_output(output);
            return output_open_result::cannot_open;
        }
    }
    const int descriptor = _open_osfhandle(handle.value, _O_WRONLY | _O_BINARY);
    if (descriptor == -1) {
        release_output(output);
        return output_open_result::cannot_open;
    }
    handle.value = no_handle; // the descriptor owns it now
    output.stream = _fdopen(descriptor, "wb");
    if (output.stream == nullptr) {
        _close(descriptor);
        release_output(output);
        return output_open_result::cannot_open;
    }
    return output_open_result::opened;
}

} // namespace

bool identify_stream(std::FILE* file, file_identity& identity)
{
    identity = file_identity{};
    const int descriptor = _fileno(file);
    if (descriptor < 0) {
        return false;
    }
    return identify_handle(reinterpret_cast<HANDLE>(_get_osfhandle(descriptor)), identity);
}

void close_handle(native_handle handle)
{
    if (handle != no_handle) {
        CloseHandle(handle_of(handle));
    }
}

void prepare_process_io()
{
    // Bytes unchanged: "\n" ends a line as on Linux, never "\r\n", and a
    // capture on standard input is read as it is.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // A drive without a medium is an output that cannot be opened, not a
    // dialog box that holds the run.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

namespace platform_face {

output_open_result check_named_file(const char* path, const file_identity& input)
{
    file_identity existing{};
    return identify_path(path, existing) ? refusal(existing, input) : output_open_result::opened;
}

output_open_result open_once(const char* path, const file_identity& input, replace_check may_replace,
                             guarded_output& output)
{
    return open_held(path, input, may_replace, output);
}

void set_aside_path(guarded_output& output)
{
    output.aside_path[0] = '\0';
}

} // namespace platform_face

void discard_unfinished_output(guarded_output& output)
{
    if (!output.identity.regular || output.hold.value == no_handle) {
        return;
    }
    AcquireSRWLockExclusive(&armed.guard);
    // Emptied first, so that no other hard link keeps a partial image.
    empty_through(handle_of(output.hold.value));
    const std::wstring path = wide_path(output.path);
    remove_if_same_file(path, aside_path_for(path), output.identity);
    ReleaseSRWLockExclusive(&armed.guard);
}

void release_output(guarded_output& output)
{
    disarm(handle_of(output.hold.value));
    output.hold.reset();
}

} // namespace velmora

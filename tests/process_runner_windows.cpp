// The Windows face of process_runner.h: CreateProcess with redirected
// standard handles, folders under the user's temporary folder.
#include "process_runner.h"

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace velmora::testing_support {
namespace {

// A handle the child inherits as one of its standard handles; closed when
// the runner is done with it.
struct inheritable_handle {
    HANDLE handle;
    explicit inheritable_handle(const std::string& path, bool for_writing)
    {
        SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        handle = CreateFileA(path.c_str(), for_writing ? GENERIC_WRITE : GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &attributes,
                             for_writing ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            throw std::runtime_error("cannot open " + path);
        }
    }
    ~inheritable_handle() { CloseHandle(handle); }
    inheritable_handle(const inheritable_handle&) = delete;
    inheritable_handle& operator=(const inheritable_handle&) = delete;
};

// Quotes `argument` so that the C runtime's command-line parser of the child
// gives it back unchanged: backslashes count only before a quote.
void append_quoted(std::string& command_line, const std::string& argument)
{
    if (!command_line.empty()) {
        command_line += ' ';
    }
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
        command_line += argument;
        return;
    }
    command_line += '"';
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        command_line.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        command_line += c;
    }
    command_line.append(2 * backslashes, '\\');
    command_line += '"';
}

} // namespace

std::string read_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string make_temp_dir()
{
    static std::atomic<unsigned> counter{0};
    char base[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof base, base);
    if (length == 0 || length > MAX_PATH) {
        throw std::runtime_error("cannot find the temporary folder");
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string folder = std::string(base) + "velmora-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                                   std::to_string(GetTickCount()) + "-" + std::to_string(counter++);
        if (CreateDirectoryA(folder.c_str(), nullptr)) {
            return folder;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

void remove_tree(const std::string& path)
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

process_result run_process(const std::vector<std::string>& arguments, const std::string& input_path,
                           const std::string& output_path)
{
    const std::string folder = make_temp_dir();
    const std::string out_path = output_path.empty() ? folder + "\\out" : output_path;
    const std::string err_path = folder + "\\err";
    DWORD exit_code = 0;
    {
        const inheritable_handle in(input_path.empty() ? "NUL" : input_path, false);
        const inheritable_handle out(out_path, true);
        const inheritable_handle err(err_path, true);
        std::string command_line;
        for (const std::string& argument : arguments) {
            append_quoted(command_line, argument);
        }
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in.handle;
        startup.hStdOutput = out.handle;
        startup.hStdError = err.handle;
        PROCESS_INFORMATION process{};
        if (!CreateProcessA(arguments[0].c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                            &startup, &process)) {
            remove_tree(folder);
            throw std::runtime_error("cannot start " + arguments[0]);
        }
        CloseHandle(process.hThread);
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &exit_code);
        CloseHandle(process.hProcess);
    }
    process_result result{static_cast<int>(exit_code), output_path.empty() ? read_file(out_path) : std::string(),
                          read_file(err_path)};
    remove_tree(folder);
    return result;
}

} // namespace velmora::testing_support

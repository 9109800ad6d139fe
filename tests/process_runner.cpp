#include "process_runner.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <iterator>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace velmora::testing_support {
namespace {

int open_or_throw(const std::string& path, int flags)
{
    const int descriptor = open(path.c_str(), flags, 0644);
    if (descriptor < 0) {
        throw std::runtime_error("cannot open " + path);
    }
    return descriptor;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*)
{
    return std::remove(path);
}

} // namespace

std::string read_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string make_temp_dir()
{
    const char* const base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/velmora-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder");
    }
    return pattern;
}

void remove_tree(const std::string& path)
{
    nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

process_result run_process(const std::vector<std::string>& arguments, const std::string& input_path,
                           const std::string& output_path)
{
    const std::string folder = make_temp_dir();
    const std::string out_path = output_path.empty() ? folder + "/out" : output_path;
    const std::string err_path = folder + "/err";
    const int in = open_or_throw(input_path.empty() ? "/dev/null" : input_path, O_RDONLY);
    const int out = open_or_throw(out_path, O_WRONLY | O_CREAT | O_TRUNC);
    const int err = open_or_throw(err_path, O_WRONLY | O_CREAT | O_TRUNC);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in);
    close(out);
    close(err);
    int wait_status = 0;
    waitpid(child, &wait_status, 0);
    process_result result{WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status),
                          output_path.empty() ? read_file(out_path) : std::string(), read_file(err_path)};
    remove_tree(folder);
    return result;
}

} // namespace velmora::testing_support

// Runs a program as a child process and collects what it printed.
#ifndef VELMORA_TESTS_PROCESS_RUNNER_H
#define VELMORA_TESTS_PROCESS_RUNNER_H

#include <string>
#include <vector>

namespace velmora::testing_support {

struct process_result {
    int status; // exit status, or 128 + signal number when killed by a signal
    std::string out;
    std::string err;
};

// Runs `arguments` (the program path first). Standard input comes from
// `input_path` (or /dev/null when empty); standard output goes to
// `output_path` instead of being collected when that is not empty.
process_result run_process(const std::vector<std::string>& arguments, const std::string& input_path = "",
                           const std::string& output_path = "");

// A fresh folder under the system's temporary folder, removed with its
// content by remove_tree.
std::string make_temp_dir();
void remove_tree(const std::string& path);

std::string read_file(const std::string& path);

} // namespace velmora::testing_support

#endif

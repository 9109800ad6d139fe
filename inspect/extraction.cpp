#include "inspect/extraction.h"

#include "platform/output_guard.h"

#include <cstdio>
#include <filesystem>

namespace velmora {
namespace {

// Without --force no existing file is replaced: one that appears between the
// look for it and the opening is refused by the guard, unless empty.
bool refuse_any(std::span<const std::uint8_t> /*start*/)
{
    return false;
}

} // namespace

bool extract_file(extraction& out, const rom_file& file, std::span<const std::uint8_t> data)
{
    if (!program_file_wanted(file, data, out.damaged)) {
        return true;
    }
    const std::vector<std::uint8_t> bytes = program_file_bytes(file, data);
    for (unsigned number = 1;; ++number) {
        const std::string name = program_file_name(file, number);
        const std::string path = out.folder + "/" + name;
        if (out.used.count(file_name_key(name)) != 0) {
            continue;
        }
        std::error_code error;
        if (!out.force && std::filesystem::exists(path, error)) {
            continue; // numbered on: what exists stays as it is
        }
        guarded_output written{};
        switch (open_guarded_output(path.c_str(), out.input, out.force ? nullptr : refuse_any, written)) {
        case output_open_result::opened:
            break;
        case output_open_result::is_input:
        case output_open_result::is_standard_stream:
        case output_open_result::held_by_another:
        case output_open_result::not_replaceable:
        case output_open_result::path_changed:
            continue; // numbered on: that file is left as it is
        case output_open_result::cannot_open:
            out.failed = path;
            return false;
        }
        const bool whole = std::fwrite(bytes.data(), 1, bytes.size(), written.stream) == bytes.size();
        if (!finish_guarded_output(written, whole)) {
            out.failed = path;
            return false;
        }
        out.used.insert(file_name_key(name));
        out.written.push_back(path);
        return true;
    }
}

} // namespace velmora

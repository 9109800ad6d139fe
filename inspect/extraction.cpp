#include "inspect/extraction.h"

#include "platform/output_guard.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>

namespace velmora {
namespace {

bool reserved_on_windows(const std::string& name)
{
    std::string base = name.substr(0, name.find('.'));
    std::transform(base.begin(), base.end(), base.begin(), [](char c) {
        return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    });
    while (!base.empty() && base.back() == ' ') {
        base.pop_back();
    }
    constexpr std::array<const char*, 4> devices = {"CON", "PRN", "AUX", "NUL"};
    if (std::find(devices.begin(), devices.end(), base) != devices.end()) {
        return true;
    }
    return base.size() == 4 && (base.rfind("COM", 0) == 0 || base.rfind("LPT", 0) == 0) && base[3] >= '0' &&
           base[3] <= '9';
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    });
    return text;
}

// Without --force no existing file is replaced: one that appears between the
// look for it and the opening is refused by the guard, unless empty.
bool refuse_any(std::span<const std::uint8_t> /*start*/)
{
    return false;
}

} // namespace

std::string safe_file_name(const std::string& name)
{
    std::string safe;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        const bool forbidden = u < 0x20 || u >= 0x7F || c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' ||
                               c == '"' || c == '<' || c == '>' || c == '|';
        safe += forbidden ? '_' : c;
    }
    while (!safe.empty() && (safe.back() == '.' || safe.back() == ' ')) {
        safe.pop_back();
    }
    while (!safe.empty() && safe.front() == ' ') {
        safe.erase(safe.begin());
    }
    if (safe.empty() || safe == "." || safe == "..") {
        return "UNNAMED";
    }
    return reserved_on_windows(safe) ? "_" + safe : safe;
}

bool extract_file(extraction& out, const rom_file& file, std::span<const std::uint8_t> data)
{
    const bool lost = file.verdict == rom_verdict::lost;
    if (!file.has_header || !file.has_data || data.empty() || (lost && !out.damaged)) {
        return true;
    }
    std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(file.start), static_cast<std::uint8_t>(file.start >> 8)};
    bytes.insert(bytes.end(), data.begin(), data.end());
    const std::string base = safe_file_name(petscii_name(file.name));
    const std::string suffix = lost ? ".damaged.prg" : ".prg";
    for (unsigned number = 1;; ++number) {
        const std::string name = number == 1 ? base + suffix : base + "-" + std::to_string(number) + suffix;
        const std::string path = out.folder + "/" + name;
        if (out.used.count(lower(name)) != 0) {
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
        out.used.insert(lower(name));
        out.written.push_back(path);
        return true;
    }
}

} // namespace velmora

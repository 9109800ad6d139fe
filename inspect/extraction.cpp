#include "inspect/extraction.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Writes all of `bytes` to a new file at `path` (replacing one only if
// `replace`); false if it exists (errno EEXIST) or cannot be written.
bool write_new_file(const std::string& path, const std::vector<std::uint8_t>& bytes, bool replace)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (replace ? O_TRUNC : O_EXCL), 0644);
    if (fd < 0) {
        return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            ::close(fd);
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return ::close(fd) == 0;
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
        struct stat existing {};
        const bool exists = ::lstat(path.c_str(), &existing) == 0;
        if (exists && (!out.force || !S_ISREG(existing.st_mode) ||
                       (out.input_known && existing.st_dev == out.input_device && existing.st_ino == out.input_inode))) {
            continue; // numbered on: what exists stays as it is
        }
        if (!write_new_file(path, bytes, out.force && exists)) {
            if (errno == EEXIST) {
                continue;
            }
            out.failed = path;
            return false;
        }
        out.used.insert(lower(name));
        out.written.push_back(path);
        return true;
    }
}

} // namespace velmora

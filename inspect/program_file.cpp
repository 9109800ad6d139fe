#include "inspect/program_file.h"

#include <algorithm>
#include <array>

namespace velmora {
namespace {

constexpr std::size_t load_address_bytes = 2;

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

bool program_file_wanted(const rom_file& file, std::span<const std::uint8_t> data, bool damaged)
{
    return file.has_header && file.has_data && !data.empty() && (file.verdict != rom_verdict::lost || damaged);
}

std::vector<std::uint8_t> program_file_bytes(const rom_file& file, std::span<const std::uint8_t> data)
{
    std::vector<std::uint8_t> bytes(load_address_bytes + data.size());
    bytes[0] = static_cast<std::uint8_t>(file.start);
    bytes[1] = static_cast<std::uint8_t>(file.start >> 8);
    std::copy(data.begin(), data.end(), bytes.begin() + load_address_bytes);
    return bytes;
}

std::string program_file_name(const rom_file& file, unsigned number)
{
    const std::string base = safe_file_name(petscii_name(file.name));
    const std::string suffix = file.verdict == rom_verdict::lost ? ".damaged.prg" : ".prg";
    return number == 1 ? base + suffix : base + "-" + std::to_string(number) + suffix;
}

std::string file_name_key(std::string name)
{
    std::transform(name.begin(), name.end(), name.begin(), [](char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    });
    return name;
}

} // namespace velmora

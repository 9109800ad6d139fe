// make_capture: writes a synthetic CTF capture, one block per sample period.
#include "tools/capture_builder.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr const char* usage =
    "usage: make_capture [--pattern tape|sparse|dense] [--bytes N] [--period P[,P...]]\n"
    "                    [--seed S] [--phases L[,L...]] OUTPUT.ctf\n"
    "       make_capture --program FILE.prg [--name NAME] [--period P] OUTPUT.ctf\n"
    "       make_capture --help\n"
    "Writes one block per period, each of N sample bytes (default 4096), with\n"
    "phases of the pattern (default tape) drawn from the seed (default 1), or\n"
    "the given phase lengths repeated. Default period: 20.\n"
    "With --program, writes one block at one period holding the program (a\n"
    "load address, then its bytes) as the C16 ROM loader records it on tape,\n"
    "under NAME (default: empty); the pattern options are then not used.\n";

bool parse_number(const std::string& text, std::uint64_t max, std::uint64_t& value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19) {
        return false;
    }
    value = std::strtoull(text.c_str(), nullptr, 10);
    return value <= max;
}

bool parse_list(const std::string& text, std::uint64_t max, std::vector<std::uint64_t>& values)
{
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        std::uint64_t value = 0;
        if (!parse_number(text.substr(start, comma - start), max, value)) {
            return false;
        }
        values.push_back(value);
        if (comma == std::string::npos) {
            return true;
        }
        start = comma + 1;
    }
}

int fail_usage()
{
    std::fputs(usage, stderr);
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    namespace capture = velmora::capture;
    capture::pattern kind = capture::pattern::tape;
    std::uint64_t bytes_per_block = 4096;
    std::uint64_t seed = 1;
    std::vector<std::uint64_t> periods;
    std::vector<std::uint64_t> fixed_phases;
    std::string program_path;
    std::string program_name;
    std::string output;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool has_value = i + 1 < argc;
        bool ok = true;
        if (argument == "--help") {
            return std::fputs(usage, stdout) >= 0 && std::fflush(stdout) == 0 ? 0 : 1;
        }
        if (argument == "--pattern" && has_value) {
            ok = capture::parse_pattern(argv[++i], kind);
        } else if (argument == "--bytes" && has_value) {
            ok = parse_number(argv[++i], 0x7FFF0000, bytes_per_block);
        } else if (argument == "--period" && has_value) {
            ok = parse_list(argv[++i], 255, periods);
        } else if (argument == "--seed" && has_value) {
            ok = parse_number(argv[++i], UINT64_MAX, seed);
        } else if (argument == "--phases" && has_value) {
            ok = parse_list(argv[++i], UINT32_MAX, fixed_phases) && fixed_phases.size() > 0;
        } else if (argument == "--program" && has_value) {
            program_path = argv[++i];
        } else if (argument == "--name" && has_value) {
            program_name = argv[++i];
        } else if (argument.rfind("--", 0) != 0 && output.empty()) {
            output = argument;
        } else {
            ok = false;
        }
        if (!ok) {
            return fail_usage();
        }
    }
    if (output.empty() || periods.size() > 32766 || (program_path.empty() && !program_name.empty())) {
        return fail_usage();
    }
    if (periods.empty()) {
        periods.push_back(20);
    }
    std::vector<capture::block> blocks;
    if (!program_path.empty()) {
        // One block at one period: the program file holds the load address, then the bytes.
        if (periods.size() != 1 || periods[0] == 0) {
            return fail_usage();
        }
        std::vector<std::uint8_t> file;
        if (!capture::read_file(program_path, file)) {
            std::fprintf(stderr, "make_capture: cannot read %s\n", program_path.c_str());
            return 2;
        }
        const std::size_t start = file.size() >= 2 ? std::size_t{file[0]} | std::size_t{file[1]} << 8 : 0;
        // The end address, one past the last byte, must fit in 16 bits.
        if (file.size() < 3 || start + file.size() - 2 > 0xFFFF) {
            std::fprintf(stderr, "make_capture: %s must hold a load address and 1 byte or more, ending below $FFFF\n",
                         program_path.c_str());
            return 2;
        }
        const std::vector<std::uint8_t> program(file.begin() + 2, file.end());
        const auto period = static_cast<std::uint8_t>(periods[0]);
        blocks.push_back(capture::block{
            period, capture::pack_phases(capture::cycles_to_samples(
                        velmora::rom_tape_program(static_cast<std::uint16_t>(start), program, program_name), period))});
    }
    for (std::size_t b = 0; program_path.empty() && b < periods.size(); ++b) {
        const std::uint64_t samples = bytes_per_block * 8;
        std::vector<std::uint32_t> phases;
        if (fixed_phases.empty()) {
            phases = capture::random_phases(kind, seed + b, samples);
        } else {
            for (std::uint64_t total = 0; total < samples;) {
                for (const std::uint64_t length : fixed_phases) {
                    phases.push_back(static_cast<std::uint32_t>(length));
                    total += length;
                }
            }
        }
        std::vector<std::uint8_t> packed = capture::pack_phases(phases);
        packed.resize(bytes_per_block);
        blocks.push_back(capture::block{static_cast<std::uint8_t>(periods[b]), std::move(packed)});
    }
    if (!capture::write_file(output, capture::ctf_image(blocks))) {
        std::fprintf(stderr, "make_capture: cannot write %s\n", output.c_str());
        return 2;
    }
    return 0;
}

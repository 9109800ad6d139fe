// make_capture: writes a synthetic CTF capture, one block per sample period.
#include "test_support/capture_builder.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr const char* usage =
    "usage: make_capture [--pattern tape|sparse|dense] [--bytes N] [--period P[,P...]]\n"
    "                    [--seed S] [--phases L[,L...]] OUTPUT.ctf\n"
    "       make_capture --program FILE.prg [--name NAME] [--period P] [--times N] [DAMAGE...]\n"
    "                    OUTPUT.ctf\n"
    "       make_capture --help\n"
    "Writes one block per period, each of N sample bytes (default 4096), with\n"
    "phases of the pattern (default tape) drawn from the seed (default 1), or\n"
    "the given phase lengths repeated. Default period: 20.\n"
    "With --program, writes one block at one period holding the program (a\n"
    "load address, then its bytes) as the C16 ROM loader records it on tape,\n"
    "under NAME (default: empty), N times in a row (default 1), damage and all;\n"
    "the pattern options are then not used.\n"
    "DAMAGE, each at most once; WHERE is header|data:first|repeat:BYTE, BYTE 0\n"
    "the first byte after the countdown, the block's size its checksum:\n"
    "  --corrupt WHERE       the byte sent wrong (bit 6 flipped), its parity right\n"
    "  --parity-error WHERE  the byte sent with its parity bit wrong\n"
    "  --glitch WHERE        a spike of 24 cycles inside the byte's first bit\n"
    "  --dropout WHERE       the byte's waves but the first half wave lost in one\n"
    "  --jitter PERCENT      every half wave longer or shorter by up to PERCENT %\n"
    "  --cut SECONDS         the tape cut after SECONDS (a decimal number)\n"
    "  --start-high          the capture starts on a high phase\n";

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

// Where a fault goes: header|data:first|repeat:BYTE.
bool parse_where(const std::string& text, velmora::rom_tape_byte_fault& where)
{
    const std::size_t first = text.find(':');
    const std::size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos) {
        return false;
    }
    const std::string block = text.substr(0, first);
    const std::string copy = text.substr(first + 1, second - first - 1);
    std::uint64_t byte = 0;
    if ((block != "header" && block != "data") || (copy != "first" && copy != "repeat") ||
        !parse_number(text.substr(second + 1), 0x10000, byte)) {
        return false;
    }
    where = velmora::rom_tape_byte_fault{block == "header" ? 0U : 1U, copy == "first" ? 0U : 1U, byte, 0x40, true};
    return true;
}

// Seconds as a decimal number, in clock cycles.
bool parse_seconds(const std::string& text, std::uint64_t& cycles)
{
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !(seconds >= 0) || seconds > 1e6) {
        return false;
    }
    cycles = static_cast<std::uint64_t>(seconds * 886724);
    return true;
}

struct damage {
    std::vector<velmora::rom_tape_byte_fault> faults;
    bool glitch = false;
    velmora::rom_tape_byte_fault glitch_at{};
    bool dropout = false;
    velmora::rom_tape_byte_fault dropout_at{};
    std::uint64_t jitter = 0;
    bool cut = false;
    std::uint64_t cut_cycles = 0;
    bool start_high = false;
};

bool damaged(const damage& wanted)
{
    return !wanted.faults.empty() || wanted.glitch || wanted.dropout || wanted.jitter != 0 || wanted.cut ||
           wanted.start_high;
}

std::vector<std::uint32_t> damaged_program(std::uint16_t start, const std::vector<std::uint8_t>& program,
                                           const std::string& name, const damage& wanted, std::uint64_t seed)
{
    std::vector<std::uint32_t> half_waves = velmora::rom_tape_program(start, program, name, wanted.faults);
    // The later place first, so that the earlier one stays where it was.
    const auto place = [&](const velmora::rom_tape_byte_fault& at) {
        return velmora::rom_tape_byte_half_wave(program.size(), at.block, at.copy, at.byte);
    };
    const std::size_t glitch_at = wanted.glitch ? place(wanted.glitch_at) + 4 : 0;
    const std::size_t dropout_at = wanted.dropout ? place(wanted.dropout_at) + 1 : 0;
    constexpr std::size_t dropout_half_waves = 2 * velmora::rom_tape_byte_waves - 1;
    if (wanted.glitch && glitch_at > dropout_at) {
        velmora::capture::add_glitch(half_waves, glitch_at, 24);
    }
    if (wanted.dropout) {
        velmora::capture::add_dropout(half_waves, dropout_at, dropout_half_waves);
    }
    if (wanted.glitch && glitch_at <= dropout_at) {
        velmora::capture::add_glitch(half_waves, glitch_at, 24);
    }
    if (wanted.jitter != 0) {
        velmora::capture::add_jitter(half_waves, static_cast<unsigned>(wanted.jitter), seed);
    }
    if (wanted.cut) {
        velmora::capture::cut_at(half_waves, wanted.cut_cycles);
    }
    return half_waves;
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
    std::uint64_t times = 1;
    std::string output;
    damage wanted;
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
        } else if (argument == "--times" && has_value) {
            ok = parse_number(argv[++i], 1000, times) && times > 0;
        } else if (argument == "--name" && has_value) {
            program_name = argv[++i];
        } else if ((argument == "--corrupt" || argument == "--parity-error") && has_value) {
            velmora::rom_tape_byte_fault fault{};
            ok = parse_where(argv[++i], fault);
            fault.keep_parity = argument == "--corrupt";
            wanted.faults.push_back(fault);
        } else if (argument == "--glitch" && has_value && !wanted.glitch) {
            wanted.glitch = parse_where(argv[++i], wanted.glitch_at);
            ok = wanted.glitch;
        } else if (argument == "--dropout" && has_value && !wanted.dropout) {
            wanted.dropout = parse_where(argv[++i], wanted.dropout_at);
            ok = wanted.dropout;
        } else if (argument == "--jitter" && has_value) {
            ok = parse_number(argv[++i], 50, wanted.jitter);
        } else if (argument == "--cut" && has_value) {
            wanted.cut = parse_seconds(argv[++i], wanted.cut_cycles);
            ok = wanted.cut;
        } else if (argument == "--start-high") {
            wanted.start_high = true;
        } else if (argument.rfind("--", 0) != 0 && output.empty()) {
            output = argument;
        } else {
            ok = false;
        }
        if (!ok) {
            return fail_usage();
        }
    }
    if (output.empty() || periods.size() > 32766 || (program_path.empty() && (!program_name.empty() || times != 1 || damaged(wanted)))) {
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
        for (const velmora::rom_tape_byte_fault& at : wanted.faults) {
            if (at.byte > (at.block == 0 ? velmora::rom_tape_header_bytes : program.size())) {
                return fail_usage();
            }
        }
        for (const auto& [used, at] : {std::pair{wanted.glitch, wanted.glitch_at}, std::pair{wanted.dropout, wanted.dropout_at}}) {
            if (used && at.byte > (at.block == 0 ? velmora::rom_tape_header_bytes : program.size())) {
                return fail_usage();
            }
        }
        const std::vector<std::uint32_t> once =
            damaged_program(static_cast<std::uint16_t>(start), program, program_name, wanted, seed);
        std::vector<std::uint32_t> half_waves;
        for (std::uint64_t n = 0; n < times; ++n) {
            half_waves.insert(half_waves.end(), once.begin(), once.end());
        }
        blocks.push_back(capture::block{
            period, capture::pack_phases(capture::cycles_to_samples(half_waves, period), wanted.start_high ? 1 : 0)});
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

// Fuzz target: the ROM tape decoder on any stream of pulses. No crash, no
// hang, and its bounds hold: the bytes it holds never pass two copies of the
// longest block, a file's data never passes 64 KiB, the problems kept never
// pass their cap, the tape time is the sum of the pulses fed, the format's
// share of it is never more than all of it, and a second decoder fed the
// same pulses one at a time, wave by wave (no byte read whole), finds the same.
//
// The first byte chooses half waves (even) or full waves (odd) and the size
// of the pieces the rest is fed in (1 to 256 entries). The rest is read as
// TAP entries: a byte b other than 0 is a pulse of 8 b cycles, a 0 and the
// three bytes after it a pulse of their 24-bit cycle count.
#include "fuzz/fuzz_check.h"
#include "rom_tape/rom_tape_decoder.h"
#include "test_support/rom_tape_fingerprint.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora::fuzzing {
namespace {

void check(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return;
    }
    const wave_kind kind = (data[0] & 1U) == 0 ? wave_kind::half_waves : wave_kind::full_waves;
    const std::size_t piece = std::size_t{data[0]} + 1;
    std::uint64_t files_seen = 0;
    rom_tape_decoder decoder;
    rom_tape_start(decoder, kind, [&files_seen](const rom_file&, std::span<const std::uint8_t> bytes) {
        require(bytes.size() <= rom_tape_max_payload, "a file's data passes 64 KiB");
        ++files_seen;
    });
    rom_tape_decoder one_by_one;
    rom_tape_start(one_by_one, kind);
    one_by_one.wave_by_wave = true;
    std::uint64_t cycles = 0;
    std::size_t at = 1;
    while (at < size) {
        const std::size_t end = std::min(size, at + piece);
        std::size_t run = at;
        while (run < end && data[run] != 0) {
            cycles += std::uint64_t{data[run]} * 8;
            ++run;
        }
        rom_tape_feed_run(decoder, data + at, run - at, at);
        for (std::size_t each = at; each < run; ++each) {
            rom_tape_feed_run(one_by_one, data + each, 1, each);
        }
        at = run;
        if (at < end) {
            std::uint32_t pulse = 0;
            for (unsigned i = 1; i <= 3; ++i) {
                pulse |= at + i < size ? std::uint32_t{data[at + i]} << (8 * (i - 1)) : 0U;
            }
            rom_tape_feed_pulse(decoder, pulse, at);
            rom_tape_feed_pulse(one_by_one, pulse, at);
            cycles += pulse;
            at += 4;
        }
        for (const auto& held : decoder.bytes) {
            require(held.size() <= rom_tape_max_payload + 1, "a copy's bytes pass the longest block");
        }
    }
    rom_tape_finish(decoder);
    rom_tape_finish(one_by_one);
    require(rom_tape_fingerprint(decoder.result) == rom_tape_fingerprint(one_by_one.result),
            "fed in runs and one pulse at a time, the decoder finds different things");
    const rom_tape_result& result = decoder.result;
    require(result.problems.size() <= rom_max_problems, "more problems kept than the cap");
    require(result.total_cycles == cycles, "the tape time is not the sum of the pulses");
    require(result.format_cycles <= result.total_cycles, "the format takes more than the tape");
    require(files_seen <= result.files.size(), "a file was handed out twice");
}

} // namespace
} // namespace velmora::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    velmora::fuzzing::check(data, size);
    return 0;
}

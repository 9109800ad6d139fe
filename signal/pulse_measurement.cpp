#include "signal/pulse_measurement.h"

#include "signal/scan_paths.h"

#include <cassert>

namespace velmora {
namespace {

// Every path of this build, fastest first; the portable one comes last.
constexpr scan_path built_paths[] = {
#if VELMORA_X86_64_V3_SCAN
    {"x86-64-v3", convert_chunk_x86_64_v3},
#endif
#if VELMORA_WASM_SIMD128_SCAN
    {"wasm-simd128", convert_chunk_wasm_simd128},
#endif
    {"portable", convert_chunk_portable},
};

// The path convert_chunk takes, chosen once before main() runs: what the CPU
// offers does not change while the process runs.
const chunk_converter chosen_path = available_scan_paths().front().convert;

} // namespace

std::span<const scan_path> available_scan_paths()
{
    const std::span<const scan_path> paths = built_paths;
#if VELMORA_X86_64_V3_SCAN
    if (!cpu_runs_x86_64_v3()) {
        return paths.subspan(1);
    }
#endif
    return paths;
}

std::size_t convert_chunk(const std::uint8_t* samples, std::size_t length, std::uint8_t period, wave_kind waves,
                          pulse_state& state, std::uint8_t* out)
{
    assert(length <= max_chunk_bytes);
    return chosen_path(samples, length, period, waves, state, out);
}

} // namespace velmora

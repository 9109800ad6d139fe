// The interchangeable implementations of convert_chunk: each writes exactly
// what the per-sample measurement writes, entry for entry and state for
// state. convert_chunk picks the fastest one the CPU runs, once; tests, fuzz
// targets and benchmarks call each one directly.
#ifndef VELMORA_SIGNAL_SCAN_PATHS_H
#define VELMORA_SIGNAL_SCAN_PATHS_H

#include "signal/pulse_measurement.h"

#include <cstddef>
#include <cstdint>
#include <span>

// The x86-64-v3 path (AVX2, BMI1, BMI2, LZCNT, POPCNT) is built on x86-64
// with GCC or Clang unless the build asks for the portable path only
// (VELMORA_SIMD=0).
#if (defined(__x86_64__) || defined(_M_X64)) && defined(__GNUC__) && (!defined(VELMORA_SIMD) || VELMORA_SIMD)
#define VELMORA_X86_64_V3_SCAN 1
#else
#define VELMORA_X86_64_V3_SCAN 0
#endif

// The WebAssembly SIMD128 path is built where the compiler targets SIMD128
// (the browser page's build) unless the build asks for the portable path
// only.
#if defined(__wasm_simd128__) && (!defined(VELMORA_SIMD) || VELMORA_SIMD)
#define VELMORA_WASM_SIMD128_SCAN 1
#else
#define VELMORA_WASM_SIMD128_SCAN 0
#endif

namespace velmora {

// Same arguments and contract as convert_chunk.
using chunk_converter = std::size_t (*)(const std::uint8_t* samples, std::size_t length, std::uint8_t period,
                                        wave_kind waves, pulse_state& state, std::uint8_t* out);

struct scan_path {
    const char* name;
    chunk_converter convert;
};

// The two-pass scan in standard C++: runs on every CPU.
std::size_t convert_chunk_portable(const std::uint8_t* samples, std::size_t length, std::uint8_t period,
                                   wave_kind waves, pulse_state& state, std::uint8_t* out);

#if VELMORA_X86_64_V3_SCAN
// True if this CPU (and its operating system) runs convert_chunk_x86_64_v3.
bool cpu_runs_x86_64_v3();

// The three-pass vector scan; only for a CPU where cpu_runs_x86_64_v3().
std::size_t convert_chunk_x86_64_v3(const std::uint8_t* samples, std::size_t length, std::uint8_t period,
                                    wave_kind waves, pulse_state& state, std::uint8_t* out);
#endif

#if VELMORA_WASM_SIMD128_SCAN
// The three-pass vector scan in 128-bit WebAssembly lanes; an engine that
// loads the module runs it.
std::size_t convert_chunk_wasm_simd128(const std::uint8_t* samples, std::size_t length, std::uint8_t period,
                                       wave_kind waves, pulse_state& state, std::uint8_t* out);
#endif

// The paths of this build that this CPU runs, the one convert_chunk uses
// first; the portable one is always among them.
std::span<const scan_path> available_scan_paths();

} // namespace velmora

#endif

// Throughput of convert_chunk in sample bytes per second, side by side: the
// path the product picks on this CPU ("dispatched"), each scan path this CPU
// runs, and the per-sample reference loop, on the signals of the capture
// generator, converted in chunks of 2048 bytes as a run does.
#include "signal/pulse_measurement.h"
#include "signal/scan_paths.h"
#include "test_support/reference_scan.h"
#include "test_support/capture_builder.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using velmora::capture::pattern;

constexpr std::size_t signal_bytes = std::size_t{4} << 20;
constexpr std::uint8_t period = 20;

const std::vector<std::uint8_t>& signal_of(pattern kind)
{
    static std::vector<std::uint8_t> signals[3];
    std::vector<std::uint8_t>& samples = signals[static_cast<int>(kind)];
    if (samples.empty()) {
        samples = velmora::capture::pack_phases(velmora::capture::random_phases(kind, 1, signal_bytes * 8));
        samples.resize(signal_bytes);
    }
    return samples;
}


void convert_signal(benchmark::State& state, velmora::chunk_converter convert, pattern kind, int version)
{
    const std::vector<std::uint8_t>& samples = signal_of(kind);
    static std::uint8_t out[velmora::pulse_output_capacity];
    for (auto _ : state) {
        velmora::pulse_state pulses{};
        std::size_t written = 0;
        for (std::size_t offset = 0; offset < samples.size(); offset += velmora::max_chunk_bytes) {
            written += convert(samples.data() + offset, velmora::max_chunk_bytes, period,
                               version == 2 ? velmora::wave_kind::half_waves : velmora::wave_kind::full_waves, pulses, out);
            benchmark::DoNotOptimize(out[0]);
        }
        benchmark::DoNotOptimize(written);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(samples.size()));
    state.counters["MiB/s"] = benchmark::Counter(static_cast<double>(samples.size()) / (1 << 20),
                                                 benchmark::Counter::kIsIterationInvariantRate);
}

void register_all()
{
    const struct {
        const char* name;
        pattern kind;
    } signals[] = {{"tape", pattern::tape}, {"sparse", pattern::sparse}, {"dense", pattern::dense}};
    std::vector<velmora::scan_path> scans{{"dispatched", velmora::convert_chunk}};
    for (const velmora::scan_path& path : velmora::available_scan_paths()) {
        scans.push_back(path);
    }
    scans.push_back({"reference", velmora::convert_chunk_reference});
    for (const auto& each_signal : signals) {
        for (const int version : {2, 1}) {
            for (const auto& scan : scans) {
                const std::string name = std::string("convert_chunk/") + each_signal.name + "/v" +
                                         std::to_string(version) + "/" + scan.name;
                benchmark::RegisterBenchmark(name.c_str(), convert_signal, scan.convert, each_signal.kind, version)
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    register_all();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

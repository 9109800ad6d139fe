#include "test_support/capture_builder.h"

#include "signal/pulse_measurement.h"

#include <algorithm>
#include <cstdio>

namespace velmora::capture {
namespace {

// splitmix64: small, fast and the same everywhere.
std::uint64_t next_random(std::uint64_t& state)
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::uint32_t random_between(std::uint64_t& state, std::uint32_t low, std::uint32_t high)
{
    return low + static_cast<std::uint32_t>(next_random(state) % (high - low + 1));
}

constexpr std::size_t ctf_descriptor_bytes = 5;

} // namespace

void put_le(std::vector<std::uint8_t>& bytes, std::uint64_t value, unsigned size)
{
    for (unsigned i = 0; i < size; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

std::vector<std::uint8_t> pack_phases(const std::vector<std::uint32_t>& phases, int start_level)
{
    std::vector<std::uint8_t> bytes;
    unsigned level = start_level != 0 ? 1U : 0U;
    std::uint8_t current = 0;
    unsigned filled = 0;
    const auto push_sample = [&](unsigned bit) {
        current = static_cast<std::uint8_t>((static_cast<unsigned>(current) << 1) | bit);
        if (++filled == 8) {
            bytes.push_back(current);
            current = 0;
            filled = 0;
        }
    };
    for (const std::uint32_t length : phases) {
        for (std::uint32_t i = 0; i < length; ++i) {
            push_sample(level);
        }
        level ^= 1U;
    }
    while (filled != 0) {
        push_sample(level);
    }
    return bytes;
}

std::vector<std::uint32_t> random_phases(pattern kind, std::uint64_t seed, std::uint64_t samples)
{
    std::vector<std::uint32_t> phases;
    std::uint64_t state = seed;
    std::uint64_t total = 0;
    constexpr std::uint32_t tape_wave_lengths[] = {8, 12, 20};
    while (total < samples) {
        switch (kind) {
        case pattern::tape: {
            // A full wave: a low and a high phase of about the same length.
            const std::uint32_t base = tape_wave_lengths[next_random(state) % 3];
            const std::uint32_t low = random_between(state, base - 2, base + 2);
            const std::uint32_t high = random_between(state, low - 1, low + 3);
            phases.push_back(low);
            phases.push_back(high);
            total += low + high;
            break;
        }
        case pattern::sparse:
            phases.push_back(random_between(state, 200, 5000));
            total += phases.back();
            break;
        case pattern::dense:
            phases.push_back(1);
            ++total;
            break;
        }
    }
    return phases;
}

std::vector<std::uint8_t> ctf_image(const std::vector<block>& blocks, std::int16_t block_count_field)
{
    std::vector<std::uint8_t> bytes;
    put_le(bytes, 0, 4);
    put_le(bytes, static_cast<std::uint16_t>(block_count_field), 2);
    for (const block& each : blocks) {
        const std::size_t end = bytes.size() + ctf_descriptor_bytes + each.samples.size();
        put_le(bytes, end, 4);
        bytes.push_back(each.period);
        bytes.insert(bytes.end(), each.samples.begin(), each.samples.end());
    }
    return bytes;
}

std::vector<std::uint8_t> ctf_image(const std::vector<block>& blocks)
{
    return ctf_image(blocks, static_cast<std::int16_t>(blocks.size() + 1));
}

std::vector<std::uint32_t> cycles_to_samples(const std::vector<std::uint32_t>& cycles, std::uint8_t period)
{
    // One sample lasts period x half_wave_sample_percent / 100 cycles.
    const std::uint64_t sample_cycles_x100 = half_wave_sample_percent * period;
    std::vector<std::uint32_t> samples;
    samples.reserve(cycles.size());
    for (const std::uint32_t length : cycles) {
        const std::uint64_t rounded =
            (100 * std::uint64_t{length} * 2 + sample_cycles_x100) / (2 * sample_cycles_x100);
        samples.push_back(static_cast<std::uint32_t>(rounded == 0 ? 1 : rounded));
    }
    return samples;
}

void add_jitter(std::vector<std::uint32_t>& half_waves, unsigned percent, std::uint64_t seed)
{
    std::uint64_t state = seed;
    for (std::uint32_t& cycles : half_waves) {
        const std::uint32_t spread = 2 * percent + 1;
        const auto shift = static_cast<std::int64_t>(next_random(state) % (std::uint64_t{spread} * 100)) -
                           std::int64_t{percent} * 100;
        const std::int64_t jittered = std::int64_t{cycles} + std::int64_t{cycles} * shift / 10000;
        cycles = static_cast<std::uint32_t>(std::max<std::int64_t>(1, jittered));
    }
}

void add_glitch(std::vector<std::uint32_t>& half_waves, std::size_t at, std::uint32_t spike)
{
    const std::uint32_t whole = half_waves[at];
    const std::uint32_t before = (whole - spike) / 2;
    half_waves[at] = before;
    const std::uint32_t after[2] = {spike, whole - spike - before};
    half_waves.insert(half_waves.begin() + static_cast<std::ptrdiff_t>(at) + 1, after, after + 2);
}

void add_dropout(std::vector<std::uint32_t>& half_waves, std::size_t at, std::size_t count)
{
    std::uint32_t whole = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        whole += half_waves[i];
    }
    half_waves[at] = whole;
    half_waves.erase(half_waves.begin() + static_cast<std::ptrdiff_t>(at) + 1,
                     half_waves.begin() + static_cast<std::ptrdiff_t>(at + count));
}

void cut_at(std::vector<std::uint32_t>& half_waves, std::uint64_t cycles)
{
    std::uint64_t time = 0;
    std::size_t kept = 0;
    while (kept < half_waves.size() && time < cycles) {
        time += half_waves[kept++];
    }
    half_waves.resize(kept);
}

bool parse_pattern(const std::string& name, pattern& kind)
{
    if (name == "tape") {
        kind = pattern::tape;
    } else if (name == "sparse") {
        kind = pattern::sparse;
    } else if (name == "dense") {
        kind = pattern::dense;
    } else {
        return false;
    }
    return true;
}

bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::FILE* const file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    // An empty vector may hold no buffer at all, and fwrite must not be
    // handed a null pointer even for nothing.
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

bool read_file(const std::string& path, std::vector<std::uint8_t>& bytes)
{
    std::FILE* const file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    bytes.clear();
    std::uint8_t buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    const bool complete = std::ferror(file) == 0;
    return std::fclose(file) == 0 && complete;
}

} // namespace velmora::capture

// make_corpus: writes the named captures of tests/captures/ into a folder.
// Usage: make_corpus FOLDER
//
// Each capture is small and shows one shape the CTF layout allows or one way
// a file can end early. Its expected status per TAP version is in the table
// of capture_corpus_test.cpp; its image in NAME.v1.tap and NAME.v2.tap,
// written by velmora (make_goldens.sh) and checked by hand as noted below.
//
// Values used in the notes, for a phase of n samples at period p:
//   half wave (version 2) H(n, p) = floor((13 n p + 50) / 100)
//   full wave (version 1) F(n, p) = floor((101 n p + 200) / 400)
// A value of 0 is stored as 1; above 255 it is the 4 bytes 00 and 8 v (24
// bits, little-endian); above 0x1FFFFF it is clamped to 00 F8 FF FF. A run's
// first phase counts its edge sample too (n = samples before it + 1). The
// block gap is 00 00 80 01 00 00 80 01.
#include "test_support/capture_builder.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;
namespace capture = velmora::capture;

bytes header(std::int16_t block_count_field)
{
    bytes out = {0xDE, 0xAD, 0xBE, 0xEF}; // never looked at
    capture::put_le(out, static_cast<std::uint16_t>(block_count_field), 2);
    return out;
}

// Appends a descriptor with an explicit end offset and the given samples.
void put_block(bytes& out, std::uint32_t end_offset, std::uint8_t period, const bytes& samples)
{
    capture::put_le(out, end_offset, 4);
    out.push_back(period);
    out.insert(out.end(), samples.begin(), samples.end());
}

// Appends a block whose end offset lies just past its samples.
void put_block(bytes& out, std::uint8_t period, const bytes& samples)
{
    put_block(out, static_cast<std::uint32_t>(out.size() + 5 + samples.size()), period, samples);
}

// Samples FF 00 at period 100: a run's first edge (n = 1) then a falling
// edge at n = 8. From a fresh run: version 2 gives H(1,100) = 13 and
// H(8,100) = 104, bytes 0D 68; version 1 gives F(1,100) = 25, byte 19, and
// counts the wave asymmetric (high 8 after low 1). Later in a run (the 7 low
// samples left over plus the rising edge: n = 8): version 2 gives 68 68,
// version 1 F(8,100) = 202, byte CA, and the wave is symmetric.
const bytes edge_pair = {0xFF, 0x00};

// Three blocks: edge_pair, a middle block whose end offset is `middle_end`
// (or, when 0, just past its descriptor), and edge_pair again.
bytes three_blocks_with_middle_end(std::uint32_t middle_end, bool middle_at_descriptor_end)
{
    bytes out = header(4);
    put_block(out, 100, edge_pair);
    put_block(out, middle_at_descriptor_end ? static_cast<std::uint32_t>(out.size() + 5) : middle_end, 100, bytes{});
    put_block(out, 100, edge_pair);
    return out;
}

// Full waves of a low phase of 10 and high phases of 14 (4 longer: counted),
// 9 (1 shorter: counted) and 13 (3 longer: not counted), then 4 to 11 low
// samples that close the last wave and fill the last byte, so that no
// padding adds an edge.
bytes asymmetric_waves(int longer_by_4, int shorter_by_1, int longer_by_3)
{
    std::vector<std::uint32_t> phases;
    bool first = true;
    const auto wave = [&](std::uint32_t high) {
        phases.push_back(first ? 9 : 10); // the run's first edge counts its own sample
        phases.push_back(high);
        first = false;
    };
    for (int i = 0; i < longer_by_4; ++i) {
        wave(14);
    }
    for (int i = 0; i < shorter_by_1; ++i) {
        wave(9);
    }
    for (int i = 0; i < longer_by_3; ++i) {
        wave(13);
    }
    std::uint32_t total = 0;
    for (const std::uint32_t length : phases) {
        total += length;
    }
    const std::uint32_t rest = 8 - total % 8;
    phases.push_back(rest < 4 ? rest + 8 : rest);
    bytes out = header(2);
    put_block(out, 20, capture::pack_phases(phases));
    return out;
}

struct named_capture {
    const char* name;
    bytes content;
};

std::vector<named_capture> corpus()
{
    std::vector<named_capture> all;
    const auto add = [&all](const char* name, bytes content) { all.push_back({name, std::move(content)}); };

    // --- Empty captures: status 4, output left empty ---
    add("empty_file", {});
    add("header_cut_short", {0, 0, 0, 0, 2});
    {
        bytes out = header(1); // a block follows, but the field says none
        put_block(out, 100, edge_pair);
        add("count_field_1", out);
    }

    // --- Block count fields that give no block: a 20-byte image, size 0 ---
    // Checked by hand: 43 31 36 2D 54 41 50 45 2D 52 41 57, version, 02 00 00,
    // then 00 00 00 00.
    for (const auto& [name, field] : {std::pair{"count_field_0", std::int16_t{0}},
                                      std::pair{"count_field_minus_1", std::int16_t{-1}},
                                      std::pair{"count_field_minus_32768", std::int16_t{-32768}}}) {
        bytes out = header(field);
        put_block(out, 100, edge_pair);
        add(name, out);
    }

    // --- One block, the worked example ---
    // Samples 0F 0F at period 20 (0000 1111 0000 1111). Checked by hand:
    // version 2, edges at n = 5, 4, 4: H = 13, 10, 10, data 0D 0A 0A, size 3;
    // version 1, rising edges at n = 5, 4: F = 25, 20, data 19 14, size 2
    // (one asymmetric wave: high 4 after low 5).
    {
        bytes out = header(2);
        put_block(out, 20, {0x0F, 0x0F});
        add("count_field_2", out);
    }
    // Two blocks of edge_pair. Checked by hand: version 2 data 0D 68, gap,
    // 68 68 (size 12); version 1 data 19, gap, CA (size 10).
    {
        bytes out = header(3);
        put_block(out, 100, edge_pair);
        put_block(out, 100, edge_pair);
        add("count_field_3", out);
    }
    // Bytes after the last announced block are never read: same image as
    // count_field_2.
    {
        bytes out = header(2);
        put_block(out, 20, {0x0F, 0x0F});
        out.insert(out.end(), {0x00, 0xFF, 0x55, 0xAA, 0x12});
        add("trailing_bytes_ignored", out);
    }

    // --- End offsets that give a block no samples ---
    // The middle block of three has none, the next descriptor is read right
    // after its own, and it still gets its gap. Checked by hand: version 2
    // data 0D 68, gap, gap, 68 68 (size 20); version 1 data 19, gap, gap, CA
    // (size 18).
    add("end_offset_before_descriptor", three_blocks_with_middle_end(3, false));
    add("end_offset_at_descriptor_end", three_blocks_with_middle_end(0, true));
    add("end_offset_0x80000000", three_blocks_with_middle_end(0x80000000U, false));
    add("end_offset_0xffffffff", three_blocks_with_middle_end(0xFFFFFFFFU, false));

    // --- End offsets beyond the end of the file: status 5 ---
    // The two sample bytes present are converted, nothing after. Checked by
    // hand: version 2 data 0D 68, version 1 data 19.
    {
        bytes out = header(2);
        put_block(out, 1000000, 100, edge_pair);
        add("end_offset_far_beyond_the_file", out);
    }
    {
        bytes out = header(2);
        put_block(out, 0x7FFFFFFFU, 100, edge_pair);
        add("end_offset_0x7fffffff", out);
    }

    // --- Sample periods 0 and 255 ---
    // Period 0 scales every phase to 0, stored as 1: version 2 data 01 01 01,
    // version 1 data 01 01 (the samples of count_field_2). Checked by hand.
    {
        bytes out = header(2);
        put_block(out, 0, {0x0F, 0x0F});
        add("period_0", out);
    }
    // 100 low samples, 4 high, 8 low at period 255. Checked by hand:
    // version 2: H(101,255) = 3348 -> 8 x 3348 = 0x68A0 -> 00 A0 68 00, then
    // H(4,255) = 133 -> 85; version 1: F(101,255) = 6503 -> 8 x 6503 =
    // 0xCB38 -> 00 38 CB 00.
    {
        bytes out = header(2);
        bytes samples(12, 0x00);
        samples.insert(samples.end(), {0x0F, 0x00});
        put_block(out, 255, samples);
        add("period_255", out);
    }
    // A phase of 640001 samples at period 255 is far past the longest entry
    // (0x1FFFFF units). Checked by hand: both versions data 00 F8 FF FF.
    {
        bytes out = header(2);
        bytes samples(80000, 0x00);
        samples.push_back(0xFF);
        put_block(out, 255, samples);
        add("pulse_clamped", out);
    }

    // --- Edges at the very first samples ---
    // 1000 0000 0000 0000 at period 20: rising at n = 1, falling at n = 1.
    // Checked by hand: version 2 data 03 03; version 1 data 05 (F(1,20) = 5).
    {
        bytes out = header(2);
        put_block(out, 20, {0x80, 0x00});
        add("first_sample_high", out);
    }
    // 0101 0101 at period 20: edges at n = 2, then 1 six times. Checked by
    // hand: version 2 data 05 03 03 03 03 03 03; version 1 data 0A 05 05 05.
    {
        bytes out = header(2);
        put_block(out, 20, {0x55});
        add("an_edge_at_every_sample", out);
    }

    // --- A phase across blocks ---
    // edge_pair at period 100, then 16 low samples and a rising edge at
    // period 200: the 7 low samples left in block 1 and the 17 of block 2
    // make n = 24, scaled with block 2's period. Checked by hand: version 2
    // data 0D 68, gap, H(24,200) = 624 -> 00 80 13 00; version 1 data 19,
    // gap, F(24,200) = 1212 -> 00 E0 25 00.
    {
        bytes out = header(3);
        put_block(out, 100, edge_pair);
        put_block(out, 200, {0x00, 0x00, 0xFF});
        add("phase_across_blocks", out);
    }

    // --- The advisory threshold of version 1 ---
    // 200 counted waves (100 high by 4 longer, 100 by 1 shorter) and 50 that
    // pass (3 longer): no advice. One more counted wave: advice. Checked by
    // hand: version 1 data is 0x33 (F(10,20) = 51) once per wave, 250 and 251
    // bytes; version 2 starts 1A 24 (H(10,20) = 26, H(14,20) = 36).
    add("asymmetric_200", asymmetric_waves(100, 100, 50));
    add("asymmetric_201", asymmetric_waves(101, 100, 50));

    // --- Files that end early: status 5, what was read kept ---
    // Only the header, then part of a descriptor: a 20-byte image, size 0.
    add("header_only", header(2));
    {
        bytes out = header(2);
        out.insert(out.end(), {0x0F, 0x00, 0x00});
        add("truncated_in_descriptor", out);
    }
    // 4 sample bytes announced, 2 present: data as count_field_2.
    {
        bytes out = header(2);
        put_block(out, static_cast<std::uint32_t>(out.size() + 5 + 4), 20, {0x0F, 0x0F});
        add("truncated_in_samples", out);
    }
    // Block 1 complete, block 2 missing or its descriptor cut: block 1 and its
    // gap are kept. Checked by hand: version 2 data 0D 68 and the gap,
    // version 1 data 19 and the gap.
    {
        bytes out = header(3);
        put_block(out, 100, edge_pair);
        add("truncated_before_second_block", out);
        out.insert(out.end(), {0x20, 0x00});
        add("truncated_in_second_descriptor", out);
    }
    return all;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: make_corpus FOLDER\n", stderr);
        return 1;
    }
    const std::string folder = argv[1];
    for (const named_capture& each : corpus()) {
        const std::string path = folder + "/" + each.name + ".ctf";
        if (!capture::write_file(path, each.content)) {
            std::fprintf(stderr, "make_corpus: cannot write %s\n", path.c_str());
            return 2;
        }
    }
    return 0;
}

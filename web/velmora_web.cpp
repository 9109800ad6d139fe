// The browser page's entry points: a conversion and an inspection of the
// file the page's worker holds, through velmora's own conversion run and
// inspector. The page gives the bytes (Module.read_input,
// Module.wait_for_input) and takes the
// image, the texts and the programs found on the tape back
// (Module.image_bytes, Module.image_head, Module.page_text,
// Module.program_file); nothing here decides a message or a status.
#include "front_end/conversion_run.h"
#include "inspect/inspection.h"
#include "inspect/program_file.h"
#include "inspect/report.h"
#include "inspect/rom_report.h"
#include "tape_files/tap_file.h"

#include <emscripten/emscripten.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

// The page's side. page_read copies up to `size` bytes of the file from byte
// `position` on into `into` and gives their number, 0 at its end, -1 if the
// browser could not read it, or page_read_pending if the bytes at
// `position` have not arrived from the browser yet: page_wait_for_input
// then waits (the module's run is suspended, the worker's events go on)
// until they have, or until the browser failed to read them. Positions are
// doubles: exact up to 2^53.
EM_JS(int, page_read, (double position, std::uint8_t* into, int size), {
    const bytes = Module.read_input(position, size);
    if (bytes === undefined) {
        return -2;
    }
    if (bytes === null) {
        return -1;
    }
    HEAPU8.set(bytes, into);
    return bytes.length;
});
EM_ASYNC_JS(void, page_wait_for_input, (double position), {
    await Module.wait_for_input(position);
});
// The image past its header, in order, each piece once; `position` is
// where the piece starts in the image (a double, exact below 2^53). The page
// copies the piece before it returns: a new buffer for each piece cost the
// worker more than the copy. 0 if the page could not keep the piece.
EM_JS(int, page_image_bytes, (const std::uint8_t* bytes, int size, double position), {
    return Module.image_bytes(HEAPU8.subarray(bytes, bytes + size), position) ? 1 : 0;
});
// The image's header as it stands when the image is closed.
EM_JS(void, page_image_head, (const std::uint8_t* bytes, int size), {
    Module.image_head(HEAPU8.slice(bytes, bytes + size));
});
// A text the command line would print: which one is `kind`.
EM_JS(void, page_text, (int kind, const char* text, int size), {
    Module.page_text(kind, UTF8ToString(text, size));
});

// A program found on the tape, as `velmora-inspect --extract` writes it:
// `index` is its place in the report's files (0 for the first), `name` its
// file name, `bytes` the file's bytes (at most 2 + 65536).
EM_JS(void, page_program_file, (int index, const char* name, int name_size, const std::uint8_t* bytes, int size), {
    Module.program_file(index, UTF8ToString(name, name_size), HEAPU8.slice(bytes, bytes + size));
});

namespace {

// What page_text's kind says the text is.
enum class page_text_kind : int {
    standard_output = 1, // velmora's, without the banner
    standard_error = 2,
    text_report = 3,
    json_report = 4,
    histogram_svg = 5,
};

// Reads from the page are at most this large, and the conversion's input
// and the image go through stdio buffers this large, so that the page is
// called once for every mebibyte, not every chunk.
constexpr std::size_t page_piece_size = std::size_t{1} << 20;

// What page_read gives while the bytes asked for are on their way.
constexpr int page_read_pending = -2;

struct page_input {
    std::uint64_t position = 0;
};

ssize_t read_page_input(void* cookie, char* into, std::size_t size)
{
    page_input& input = *static_cast<page_input*>(cookie);
    const int asked = static_cast<int>(std::min(size, page_piece_size));
    const double position = static_cast<double>(input.position);
    int got = page_read(position, reinterpret_cast<std::uint8_t*>(into), asked);
    while (got == page_read_pending) {
        page_wait_for_input(position);
        got = page_read(position, reinterpret_cast<std::uint8_t*>(into), asked);
    }
    if (got < 0) {
        return -1;
    }
    input.position += static_cast<std::uint64_t>(got);
    return got;
}

int close_page_input(void* cookie)
{
    delete static_cast<page_input*>(cookie);
    return 0;
}

// The file the page holds, read front to back; nullptr if out of memory.
std::FILE* open_page_input()
{
    auto input = std::make_unique<page_input>();
    std::FILE* const file = fopencookie(input.get(), "rb", {read_page_input, nullptr, nullptr, close_page_input});
    if (file != nullptr) {
        input.release(); // now owned by the stream, freed when it closes
    }
    return file;
}

// The image as it goes to the page: its header is kept here until the image
// is closed, since the conversion patches it at the end; everything after
// it is handed to the page as it is written, so it must be written in
// order. A seek is allowed into the header or to the end of what was
// written; any other seek or write fails, as on a device that cannot do it.
struct page_image {
    std::uint8_t head[velmora::tap_header_size] = {};
    std::uint64_t position = 0; // where the next write lands
    std::uint64_t head_written = 0; // bytes of head that were ever written
    std::uint64_t sent = 0;     // bytes after the header handed to the page
};

std::uint64_t image_end(const page_image& image)
{
    return image.sent > 0 ? velmora::tap_header_size + image.sent : image.head_written;
}

ssize_t write_page_image(void* cookie, const char* bytes, std::size_t size)
{
    page_image& image = *static_cast<page_image*>(cookie);
    std::size_t done = 0;
    while (done < size && image.position < velmora::tap_header_size) {
        image.head[image.position++] = static_cast<std::uint8_t>(bytes[done++]);
    }
    image.head_written =
        std::max(image.head_written, std::min<std::uint64_t>(image.position, velmora::tap_header_size));
    if (done < size) {
        if (image.position != velmora::tap_header_size + image.sent) {
            return -1;
        }
        const std::size_t rest = size - done;
        if (page_image_bytes(reinterpret_cast<const std::uint8_t*>(bytes + done), static_cast<int>(rest),
                             static_cast<double>(image.position)) == 0) {
            return -1;
        }
        image.sent += rest;
        image.position += rest;
    }
    return static_cast<ssize_t>(size);
}

int seek_page_image(void* cookie, off_t* offset, int whence)
{
    page_image& image = *static_cast<page_image*>(cookie);
    const std::int64_t base = whence == SEEK_SET   ? 0
                              : whence == SEEK_CUR ? static_cast<std::int64_t>(image.position)
                                                   : static_cast<std::int64_t>(image_end(image));
    const std::int64_t target = base + *offset;
    if (target < 0 || (target > static_cast<std::int64_t>(velmora::tap_header_size) &&
                       static_cast<std::uint64_t>(target) != image_end(image))) {
        return -1;
    }
    image.position = static_cast<std::uint64_t>(target);
    *offset = target;
    return 0;
}

int close_page_image(void* cookie)
{
    const std::unique_ptr<page_image> image(static_cast<page_image*>(cookie));
    page_image_head(image->head, static_cast<int>(image->head_written));
    return 0;
}

std::FILE* open_page_image()
{
    auto image = std::make_unique<page_image>();
    std::FILE* const file =
        fopencookie(image.get(), "wb", {nullptr, write_page_image, seek_page_image, close_page_image});
    if (file != nullptr) {
        image.release();
    }
    return file;
}

void send_text(page_text_kind kind, const std::string& text)
{
    page_text(static_cast<int>(kind), text.data(), static_cast<int>(text.size()));
}

// A stdio buffer that outlives its stream: declared before the stream's
// holder, so freed after it is closed.
using stream_buffer = std::unique_ptr<char[]>;

// Whether the file the page holds starts as a TAP image does. A file that
// cannot be read here is left to the conversion to report.
bool page_input_is_tap_image()
{
    std::FILE* const input = open_page_input();
    if (input == nullptr) {
        return false;
    }
    std::uint8_t start[velmora::tap_recognition_size];
    const std::size_t got = std::fread(start, 1, sizeof start, input);
    std::fclose(input);
    return velmora::is_tap_image_start(start, got);
}

// The page's TAP version choice as the command lines take it: "2" half
// waves, anything else (the page offers only "1") full waves.
velmora::wave_kind waves_of(int version)
{
    return version == 2 ? velmora::wave_kind::half_waves : velmora::wave_kind::full_waves;
}

velmora::run_outcome convert_page_input(velmora::wave_kind waves)
{
    if (page_input_is_tap_image()) {
        return velmora::run_outcome{velmora::run_status::input_is_tap_image, 0};
    }
    const stream_buffer input_buffer(new char[page_piece_size]);
    const stream_buffer output_buffer(new char[page_piece_size]);
    std::FILE* const input = open_page_input();
    if (input == nullptr) {
        return velmora::run_outcome{velmora::run_status::cannot_open_input, 0};
    }
    std::FILE* const output = open_page_image();
    if (output == nullptr) {
        std::fclose(input);
        return velmora::run_outcome{velmora::run_status::cannot_open_output, 0};
    }
    std::setvbuf(input, input_buffer.get(), _IOFBF, page_piece_size);
    std::setvbuf(output, output_buffer.get(), _IOFBF, page_piece_size);
    velmora::run_outcome outcome = velmora::convert_streams(input, output, waves);
    std::fclose(input);
    if (outcome.status == velmora::run_status::cannot_write_output) {
        // No advice about an image that is not kept, as on the command line.
        outcome.asymmetric_pulses = 0;
    }
    return outcome;
}

// What report_outcome prints to one of its streams.
struct memory_text {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* stream = open_memstream(&text, &size);
};

} // namespace

// Converts the file the page holds, as `velmora <capture_name> <image_name>
// <version>` would; the image and velmora's texts go to the page. Returns
// velmora's exit status. The image is complete only with status 0; with
// status 5 it holds what was read; with any other, it is to be discarded.
extern "C" EMSCRIPTEN_KEEPALIVE int velmora_web_convert(const char* capture_name, const char* image_name, int version)
{
    const velmora::wave_kind waves = waves_of(version);
    const velmora::run_outcome outcome = convert_page_input(waves);
    const velmora::run_request request{capture_name, image_name, waves};
    memory_text out;
    memory_text err;
    if (out.stream == nullptr || err.stream == nullptr) {
        std::abort(); // out of memory before a single byte: the page reports the worker's end
    }
    const int status = velmora::report_outcome(outcome, request, out.stream, err.stream);
    std::fclose(out.stream);
    std::fclose(err.stream);
    send_text(page_text_kind::standard_output, std::string(out.text, out.size));
    send_text(page_text_kind::standard_error, std::string(err.text, err.size));
    std::free(out.text);
    std::free(err.text);
    return status;
}

// Inspects the file the page holds as `velmora-inspect --tap-version
// <version>` would, a capture measured as that version; the text report,
// the JSON report and the histogram picture go to the page, and each program
// that loads or is recoverable as `--extract` would write it (a lost one is
// not offered). Returns velmora-inspect's exit status: 0 read to the end,
// 5 ended early or could not be read (the reports tell what was read), 7
// read to the end, but the ROM would not load a file on it intact.
extern "C" EMSCRIPTEN_KEEPALIVE int velmora_web_inspect(const char* name, int version)
{
    const stream_buffer buffer(new char[velmora::stream_buffer_size]);
    std::FILE* const input = open_page_input();
    if (input == nullptr) {
        std::abort();
    }
    // Large reads straight into the inspection's buffer, as velmora-inspect does.
    std::setvbuf(input, nullptr, _IONBF, 0);
    // Each file is complete once, in the order of the report's files; each
    // program is handed to the page as it is found, so none is kept here.
    int file_index = 0;
    std::set<std::string> used_names; // their keys, as one folder holds them
    const velmora::rom_file_sink to_page = [&](const velmora::rom_file& file, std::span<const std::uint8_t> data) {
        const int index = file_index++;
        if (!velmora::program_file_wanted(file, data, false)) {
            return;
        }
        unsigned number = 1; // numbered on as --extract does in an empty folder
        while (!used_names.insert(velmora::file_name_key(velmora::program_file_name(file, number))).second) {
            ++number;
        }
        const std::string file_name = velmora::program_file_name(file, number);
        const std::vector<std::uint8_t> bytes = velmora::program_file_bytes(file, data);
        page_program_file(index, file_name.data(), static_cast<int>(file_name.size()), bytes.data(),
                          static_cast<int>(bytes.size()));
    };
    const velmora::inspection result = velmora::inspect_stream(
        input, waves_of(version),
        std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(buffer.get()), velmora::stream_buffer_size), to_page);
    std::fclose(input);
    const std::string shown = velmora::printable_name(name);
    send_text(page_text_kind::text_report, velmora::text_report(result, shown));
    send_text(page_text_kind::json_report, velmora::json_report(result, name));
    send_text(page_text_kind::histogram_svg, velmora::histogram_svg(result, shown));
    if (velmora::ended_early(result)) {
        return 5;
    }
    return velmora::every_file_loads(result) ? 0 : 7;
}

// The size of the module's memory, in bytes: it only grows, so this is its
// peak so far.
extern "C" EMSCRIPTEN_KEEPALIVE double velmora_web_memory_bytes()
{
    return static_cast<double>(__builtin_wasm_memory_size(0)) * 65536.0;
}

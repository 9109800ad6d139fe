#include "capture_walk/capture_walk.h"

#include <cassert>

namespace velmora {

bool walk_header(ctf_reader& reader, walk_result& result)
{
    result.place = walk_place::header;
    result.block = 0;
    result.offset = reader.position;
    const ctf_read_result read = read_ctf_header(reader, result.header);
    if (read != ctf_read_result::ok) {
        walk_stopped_reading(read, result);
        return false;
    }
    if (ctf_capture_marked_empty(result.header)) {
        result.ending = walk_ending::empty_capture;
        return false;
    }
    return true;
}

void walk_stopped_reading(ctf_read_result read, walk_result& result)
{
    switch (read) {
    case ctf_read_result::ok:
        assert(false && "only a read that did not return ok stops the walk");
        return;
    case ctf_read_result::ended_early:
        result.ending = walk_ending::truncated;
        return;
    case ctf_read_result::read_error:
        result.ending = walk_ending::unreadable;
        return;
    }
}

} // namespace velmora

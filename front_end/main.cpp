#include "front_end/conversion_run.h"
#include "platform/process.h"

#include <cstdio>

int main(int argc, char** argv)
{
    // An output pipe whose reader went away, or a file size limit, makes a
    // failed write like any other (status 6, with its message), not a
    // silent death by a signal.
    velmora::prepare_process_io();
    velmora::print_banner(stdout);
    velmora::run_request request{};
    velmora::run_outcome outcome{velmora::run_status::wrong_arguments, 0};
    if (velmora::parse_command_line(argc, argv, request)) {
        // Too large for the stack of every system, and one per process.
        static velmora::stream_buffers buffers;
        outcome = velmora::run_conversion(request, buffers);
    }
    return velmora::report_outcome(outcome, request, stdout, stderr);
}

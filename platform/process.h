// The setup of a process of either program, before anything is written.
#ifndef VELMORA_PLATFORM_PROCESS_H
#define VELMORA_PLATFORM_PROCESS_H

namespace velmora {

// Call once, first: a write to a pipe without a reader, or past the file
// size limit, fails like any other write instead of ending the process; the
// standard streams carry bytes unchanged ("\n" is never "\r\n").
void prepare_process_io();

} // namespace velmora

#endif

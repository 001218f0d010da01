// A caller's way to stop a long read or conversion early: an interpreter
// whose Ctrl-C must take effect at once, or a host with a cancel button.
#pragma once

// Asked between pieces (about every 256 KiB), every 10 ms while a read waits
// for a pipe or a device (signalled false for both), and whenever a signal
// interrupts a read or the open of a FIFO (signalled true), which is
// otherwise retried; a check that is costly can so skip most of the first
// kinds. It may be asked from the library's own threads as well as the
// caller's, so it must be safe to call from any thread (the library's
// threads block signals: a signal reaches the caller's thread or the
// host's). stop returns true to end the operation: it then returns
// ERR_INTERRUPTED and leaves nothing behind (an output not yet in place is
// discarded, blocks are released). Where stopping would destroy an old file
// (an output written in place), the operation is finished first and stop is
// no longer asked. A null check, or a null stop, is never asked.
struct InterruptCheck {
  bool (*stop)(void* context, bool signalled);
  void* context;
};

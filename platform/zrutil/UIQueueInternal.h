// Inside zrutil only (not installed): the UI-thread command sink's access to the process-wide UI queue.
// A sink's commands sit in the same FIFO as UILoop::Post entries, and the sink's state is guarded by the
// queue's one lock, so shutting a sink down cannot race a worker that is posting to it.
#ifndef ZRUTIL_UIQUEUEINTERNAL_H
#define ZRUTIL_UIQUEUEINTERNAL_H

class Command;

namespace zr {
namespace internal {

struct UISinkState {
  bool shutdown = false;  // guarded by the UI queue's lock
};

void PostSinkCommand(UISinkState* sink, Command* command);
void SendSinkCommand(UISinkState* sink, Command* command);
void ShutdownSink(UISinkState* sink);

}  // namespace internal
}  // namespace zr

#endif

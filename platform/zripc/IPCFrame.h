// Internals: the frame layer shared by client channels, the reader thread and the server. A frame is a
// 4-byte big-endian payload length, then the serialised message.
#ifndef ZRIPC_IPCFRAME_H
#define ZRIPC_IPCFRAME_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "IPCMessage.h"

namespace zr {
namespace ipc {

// Writes msg as one frame with a single sendmsg (repeated only for partial writes), under writeLock so
// frames from several threads never interleave. scratch, guarded by writeLock too, holds the text of a
// message that has none cached. No SIGPIPE. PR_FAILURE on an oversized message or a write error (errno
// set).
PRStatus WriteFrame(int fd, std::mutex& writeLock, std::string* scratch, const IPCMessage* msg);
// Writes count messages as back-to-back frames with as few sendmsg calls as the socket allows, under
// writeLock. *written is the number of leading frames sent whole; PR_FAILURE (errno set) unless all were.
// Stops before an oversized message without sending it. batch, guarded by writeLock, holds the frames.
PRStatus WriteFrames(int fd, std::mutex& writeLock, std::string* scratch, std::string* batch,
                     IPCMessage* const* msgs, int count, int* written);
// The same for payloads already serialised: texts[i], sizes[i] bytes each.
PRStatus WriteTexts(int fd, std::mutex& writeLock, std::string* batch, const char* const* texts,
                    const size_t* sizes, int count, int* written);

// One frame sent whole at once or not at all (errno EAGAIN when it would wait); see IPC_TryWriteSerialized.
PRStatus TryWriteText(int fd, std::mutex& writeLock, const char* text, size_t size);

// Reads frames from a stream socket into one buffer, several frames per read. The buffer grows only as
// bytes actually arrive, so a lying length costs nothing until the bytes are there.
class FrameReader {
 public:
  enum class Status { kMessage, kNeedMore, kClosed, kFailed };

  FrameReader();
  ~FrameReader();
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  // Reads what the socket has (non-blocking read expected, one call). kNeedMore: nothing complete yet,
  // poll again; kClosed: orderly end at a frame boundary; kFailed: error() tells why.
  Status Fill(int fd);
  // Takes the next complete frame into msg (which is emptied first). kMessage, kNeedMore (no complete
  // frame buffered) or kFailed (oversized length or malformed payload).
  Status Next(IPCMessage* msg);
  int error() const { return mError; }
  // Drops everything buffered (a new channel begins).
  void Reset();

 private:
  char* mBuffer;
  size_t mCapacity;
  size_t mBegin;  // first unconsumed byte
  size_t mEnd;    // one past the last received byte
  int mError;
};

}  // namespace ipc
}  // namespace zr

#endif

#include "IPCFrame.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "IPCChannel.h"
#include "IPCMessageInternal.h"

namespace zr {
namespace ipc {

namespace {

constexpr size_t kInitialCapacity = 64 * 1024;
constexpr size_t kMinRead = 16 * 1024;
// After a large frame the buffer goes back to its usual size once empty.
constexpr size_t kShrinkAbove = 1024 * 1024;

uint32_t ReadBigEndian32(const char* p) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | uint32_t{u[3]};
}

// A frame's header: the payload's length, big-endian.
constexpr size_t kHeaderSize = 4;
void PutHeader(size_t size, unsigned char* header) {
  header[0] = static_cast<unsigned char>(size >> 24);
  header[1] = static_cast<unsigned char>(size >> 16);
  header[2] = static_cast<unsigned char>(size >> 8);
  header[3] = static_cast<unsigned char>(size);
}

// One frame laid out for sendmsg: its header, then the payload where it lies. mh points into the object,
// so it stays where it was made.
struct FrameVector {
  unsigned char header[kHeaderSize];
  iovec iov[2];
  msghdr mh;

  FrameVector(const char* payload, size_t size) {
    PutHeader(size, header);
    iov[0].iov_base = header;
    iov[0].iov_len = sizeof header;
    iov[1].iov_base = const_cast<char*>(payload);
    iov[1].iov_len = size;
    std::memset(&mh, 0, sizeof mh);
    mh.msg_iov = iov;
    mh.msg_iovlen = 2;
  }
  FrameVector(const FrameVector&) = delete;
  FrameVector& operator=(const FrameVector&) = delete;
};

}  // namespace

PRStatus WriteFrame(int fd, std::mutex& writeLock, std::string* scratch, const IPCMessage* msg) {
  std::lock_guard<std::mutex> lock(writeLock);
  if (fd < 0) {
    errno = EBADF;
    return PR_FAILURE;
  }
  size_t size = 0;
  const char* payload = SerializeForWrite(msg, scratch, &size);
  if (size > IPC_GetMaxMessageSize()) {
    errno = EMSGSIZE;
    return PR_FAILURE;
  }
  FrameVector frame(payload, size);
  msghdr& mh = frame.mh;
  while (mh.msg_iovlen > 0) {
    ssize_t n = sendmsg(fd, &mh, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return PR_FAILURE;
    }
    size_t done = static_cast<size_t>(n);
    while (mh.msg_iovlen > 0 && done >= mh.msg_iov[0].iov_len) {
      done -= mh.msg_iov[0].iov_len;
      ++mh.msg_iov;
      --mh.msg_iovlen;
    }
    if (mh.msg_iovlen > 0) {
      mh.msg_iov[0].iov_base = static_cast<char*>(mh.msg_iov[0].iov_base) + done;
      mh.msg_iov[0].iov_len -= done;
    }
  }
  return PR_SUCCESS;
}

namespace {

// Writes count frames, payload(i, &size) giving each one's text (null: an invalid entry), back to back
// with as few send calls as the socket allows. The caller holds the write lock.
template <typename Payload>
PRStatus WriteBatch(int fd, std::string* batch, int count, int* written, Payload payload) {
  *written = 0;
  if (fd < 0) {
    errno = EBADF;
    return PR_FAILURE;
  }
  // Where each frame ends in batch; the frames before an oversized one still go out.
  constexpr int kEndsInline = 256;
  size_t endsInline[kEndsInline];
  std::vector<size_t> endsHeap;
  size_t* ends = endsInline;
  if (count > kEndsInline) {
    endsHeap.resize(static_cast<size_t>(count));
    ends = endsHeap.data();
  }
  int framed = 0;
  batch->clear();
  int stopError = 0;  // why the frames stop short of count
  for (int i = 0; i < count; ++i) {
    size_t size = 0;
    const char* text = payload(i, &size);
    if (text == nullptr) {
      stopError = EINVAL;
      break;
    }
    if (size > IPC_GetMaxMessageSize()) {
      stopError = EMSGSIZE;
      break;
    }
    unsigned char header[kHeaderSize];
    PutHeader(size, header);
    batch->append(reinterpret_cast<const char*>(header), sizeof header);
    batch->append(text, size);
    ends[framed++] = batch->size();
  }
  size_t sent = 0;
  int sendError = 0;
  while (sent < batch->size()) {
    ssize_t n = send(fd, batch->data() + sent, batch->size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      sendError = errno;
      break;
    }
    sent += static_cast<size_t>(n);
  }
  while (*written < framed && ends[*written] <= sent) ++*written;
  // A batch of large frames does not keep its buffer.
  if (batch->capacity() > kShrinkAbove) std::string().swap(*batch);
  if (sendError != 0) {
    errno = sendError;
    return PR_FAILURE;
  }
  if (stopError != 0) {
    errno = stopError;
    return PR_FAILURE;
  }
  return PR_SUCCESS;
}

}  // namespace

PRStatus WriteFrames(int fd, std::mutex& writeLock, std::string* scratch, std::string* batch,
                     IPCMessage* const* msgs, int count, int* written) {
  std::lock_guard<std::mutex> lock(writeLock);
  return WriteBatch(fd, batch, count, written, [&](int i, size_t* size) -> const char* {
    return msgs[i] == nullptr ? nullptr : SerializeForWrite(msgs[i], scratch, size);
  });
}

PRStatus WriteTexts(int fd, std::mutex& writeLock, std::string* batch, const char* const* texts,
                    const size_t* sizes, int count, int* written) {
  std::lock_guard<std::mutex> lock(writeLock);
  return WriteBatch(fd, batch, count, written, [&](int i, size_t* size) -> const char* {
    *size = sizes[i];
    return texts[i];
  });
}

PRStatus TryWriteText(int fd, std::mutex& writeLock, const char* text, size_t size) {
  // A Unix stream socket takes a send this small as one buffer or refuses it whole, so a frame is never
  // left half written by a send that must not wait.
  constexpr size_t kAtomicSend = 16 * 1024;
  if (size > kAtomicSend || size > IPC_GetMaxMessageSize()) {
    errno = EAGAIN;
    return PR_FAILURE;
  }
  std::unique_lock<std::mutex> lock(writeLock, std::try_to_lock);
  if (!lock.owns_lock()) {
    errno = EAGAIN;
    return PR_FAILURE;
  }
  if (fd < 0) {
    errno = EBADF;
    return PR_FAILURE;
  }
  FrameVector frame(text, size);
  ssize_t n;
  do {
    n = sendmsg(fd, &frame.mh, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return PR_FAILURE;
  if (static_cast<size_t>(n) != size + kHeaderSize) {
    // Not what the socket does for a frame this small; the stream cannot be kept in step after it.
    shutdown(fd, SHUT_RDWR);
    errno = EPIPE;
    return PR_FAILURE;
  }
  return PR_SUCCESS;
}

FrameReader::FrameReader() : mBuffer(nullptr), mCapacity(0), mBegin(0), mEnd(0), mError(0) {}

FrameReader::~FrameReader() { std::free(mBuffer); }

void FrameReader::Reset() {
  mBegin = mEnd = 0;
  mError = 0;
  if (mCapacity > kShrinkAbove) {
    std::free(mBuffer);
    mBuffer = nullptr;
    mCapacity = 0;
  }
}

FrameReader::Status FrameReader::Fill(int fd) {
  if (mBegin == mEnd) {
    mBegin = mEnd = 0;
    if (mCapacity > kShrinkAbove) Reset();
  }
  if (mBuffer == nullptr) {
    mBuffer = static_cast<char*>(std::malloc(kInitialCapacity));
    if (mBuffer == nullptr) {
      mError = ENOMEM;
      return Status::kFailed;
    }
    mCapacity = kInitialCapacity;
  }
  if (mCapacity - mEnd < kMinRead && mBegin > 0) {
    std::memmove(mBuffer, mBuffer + mBegin, mEnd - mBegin);
    mEnd -= mBegin;
    mBegin = 0;
  }
  if (mEnd == mCapacity) {
    // Full of one partial frame (complete ones were taken by Next, which also refused oversized
    // lengths): grow by doubling, never past the frame's own size.
    size_t length = ReadBigEndian32(mBuffer + mBegin);
    if (length > IPC_GetMaxMessageSize()) {
      mError = EMSGSIZE;
      return Status::kFailed;
    }
    size_t need = 4 + length + mBegin;
    size_t grown = mCapacity * 2 < need ? mCapacity * 2 : need;
    if (grown <= mCapacity) grown = mCapacity * 2;
    char* bigger = static_cast<char*>(std::realloc(mBuffer, grown));
    if (bigger == nullptr) {
      mError = ENOMEM;
      return Status::kFailed;
    }
    mBuffer = bigger;
    mCapacity = grown;
  }
  for (;;) {
    ssize_t n = recv(fd, mBuffer + mEnd, mCapacity - mEnd, MSG_DONTWAIT);
    if (n > 0) {
      mEnd += static_cast<size_t>(n);
      return Status::kNeedMore;
    }
    if (n == 0) {
      if (mEnd > mBegin) {
        mError = EPROTO;  // the peer closed in the middle of a frame
        return Status::kFailed;
      }
      return Status::kClosed;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Status::kNeedMore;
    mError = errno;
    return Status::kFailed;
  }
}

FrameReader::Status FrameReader::Next(IPCMessage* msg) {
  size_t avail = mEnd - mBegin;
  if (avail < 4) return Status::kNeedMore;
  size_t length = ReadBigEndian32(mBuffer + mBegin);
  if (length > IPC_GetMaxMessageSize()) {
    mError = EMSGSIZE;
    return Status::kFailed;
  }
  if (avail - 4 < length) return Status::kNeedMore;
  if (DeserializeFrame(msg, mBuffer + mBegin + 4, length) != PR_SUCCESS) {
    mError = EBADMSG;
    return Status::kFailed;
  }
  mBegin += 4 + length;
  return Status::kMessage;
}

}  // namespace ipc
}  // namespace zr

// A blocking FIFO of void* items for handing work between threads. Any thread may enqueue; Dequeue waits
// for an item. After Shutdown, Dequeue answers null at once, Enqueue refuses, and waiting threads wake.
// Items are destroyed outside the queue's lock, so an item destructor may use the queue again.
#ifndef ZRUTIL_VOIDQUEUE_H
#define ZRUTIL_VOIDQUEUE_H

#include <prtypes.h>

#include <condition_variable>
#include <mutex>

#include "VoidList.h"
#include "ZrUtilExport.h"

class ZRUTIL_EXPORT VoidQueue {
 public:
  VoidQueue();
  ~VoidQueue();  // items still queued go to the item destructor

  // PR_FAILURE after Shutdown: the caller keeps the item.
  PRStatus Enqueue(void* item);
  // Waits for the oldest item; null once shut down (items still queued stay in mItems).
  void* Dequeue();
  // Does not wait: takes the oldest item only when accept(item, context) says yes; null when empty, shut
  // down or refused. accept runs under the queue's lock and must not use the queue.
  void* DequeueIf(bool (*accept)(void* item, void* context), void* context);
  void Shutdown();
  void RemoveAll();  // destroys the queued items through the item destructor
  void AdoptItemDestructor(VoidItemDestructor* destructor);

 private:
  VoidQueue(const VoidQueue&) = delete;
  VoidQueue& operator=(const VoidQueue&) = delete;

  VoidList mItems;
  VoidItemDestructor* mItemDestructor;  // owned by mItems; kept to destroy items outside the lock
  std::mutex mMutex;
  std::condition_variable mReady;
  bool mShutdown;
};

#endif

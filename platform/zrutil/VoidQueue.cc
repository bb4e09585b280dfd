#include "VoidQueue.h"

#include "VoidItemDestructor.h"

VoidQueue::VoidQueue() : mItemDestructor(nullptr), mShutdown(false) {}

VoidQueue::~VoidQueue() {}  // mItems destroys what is left

PRStatus VoidQueue::Enqueue(void* item) {
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mShutdown || mItems.Append(item) != PR_SUCCESS) return PR_FAILURE;
  }
  mReady.notify_one();
  return PR_SUCCESS;
}

void* VoidQueue::Dequeue() {
  std::unique_lock<std::mutex> lock(mMutex);
  mReady.wait(lock, [this] { return mShutdown || mItems.GetSize() > 0; });
  if (mShutdown) return nullptr;
  return mItems.RemoveHead();
}

void* VoidQueue::DequeueIf(bool (*accept)(void* item, void* context), void* context) {
  std::lock_guard<std::mutex> lock(mMutex);
  if (mShutdown || mItems.GetSize() == 0 || !accept(mItems.GetHead(), context)) return nullptr;
  return mItems.RemoveHead();
}

void VoidQueue::Shutdown() {
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mShutdown = true;
  }
  mReady.notify_all();
}

void VoidQueue::RemoveAll() {
  for (;;) {
    void* item;
    VoidItemDestructor* destructor;
    {
      std::lock_guard<std::mutex> lock(mMutex);
      if (mItems.GetSize() == 0) return;
      item = mItems.RemoveHead();
      destructor = mItemDestructor;
    }
    if (destructor) destructor->Destroy(item);
  }
}

void VoidQueue::AdoptItemDestructor(VoidItemDestructor* destructor) {
  std::lock_guard<std::mutex> lock(mMutex);
  mItems.AdoptItemDestructor(destructor);
  mItemDestructor = destructor;
}

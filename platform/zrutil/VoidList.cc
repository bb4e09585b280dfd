#include "VoidList.h"

#include <prmem.h>

#include "VoidItemDestructor.h"

VoidList::VoidList() : mHead(nullptr), mTail(nullptr), mSize(0), mItemDestructor(nullptr) {}

VoidList::~VoidList() {
  RemoveAll();
  delete mItemDestructor;
}

PRStatus VoidList::Append(void* item) {
  Node* node = PR_NEW(Node);
  if (!node) return PR_FAILURE;
  node->item = item;
  node->next = nullptr;
  node->prev = mTail;
  if (mTail)
    mTail->next = node;
  else
    mHead = node;
  mTail = node;
  ++mSize;
  return PR_SUCCESS;
}

PRStatus VoidList::Prepend(void* item) {
  Node* node = PR_NEW(Node);
  if (!node) return PR_FAILURE;
  node->item = item;
  node->prev = nullptr;
  node->next = mHead;
  if (mHead)
    mHead->prev = node;
  else
    mTail = node;
  mHead = node;
  ++mSize;
  return PR_SUCCESS;
}

void VoidList::Unlink(Node* node) {
  if (node->prev)
    node->prev->next = node->next;
  else
    mHead = node->next;
  if (node->next)
    node->next->prev = node->prev;
  else
    mTail = node->prev;
  --mSize;
  PR_Free(node);
}

void* VoidList::RemoveHead() {
  if (!mHead) return nullptr;
  void* item = mHead->item;
  Unlink(mHead);
  return item;
}

void* VoidList::RemoveTail() {
  if (!mTail) return nullptr;
  void* item = mTail->item;
  Unlink(mTail);
  return item;
}

void* VoidList::GetHead() const { return mHead ? mHead->item : nullptr; }

void* VoidList::GetTail() const { return mTail ? mTail->item : nullptr; }

int VoidList::GetSize() const { return mSize; }

bool VoidList::Remove(void* item) {
  for (Node* node = mHead; node; node = node->next) {
    if (node->item == item) {
      Unlink(node);
      return true;
    }
  }
  return false;
}

bool VoidList::Contains(void* item) const {
  for (Node* node = mHead; node; node = node->next) {
    if (node->item == item) return true;
  }
  return false;
}

void VoidList::RemoveAll() {
  // Unlink each item before destroying it: a destructor that looks at this list sees a consistent one.
  while (mHead) {
    void* item = RemoveHead();
    if (mItemDestructor) mItemDestructor->Destroy(item);
  }
}

void VoidList::AdoptItemDestructor(VoidItemDestructor* destructor) {
  if (destructor == mItemDestructor) return;
  delete mItemDestructor;
  mItemDestructor = destructor;
}

VoidListIterator::VoidListIterator(VoidList& list)
    : mList(list), mCurrent(list.mHead), mNext(nullptr), mRemoved(false) {}

VoidListIterator::~VoidListIterator() {}

void VoidListIterator::First() {
  mCurrent = mList.mHead;
  mNext = nullptr;
  mRemoved = false;
}

void VoidListIterator::Next() {
  if (mRemoved) {
    mCurrent = mNext;
    mNext = nullptr;
    mRemoved = false;
  } else if (mCurrent) {
    mCurrent = mCurrent->next;
  }
}

bool VoidListIterator::IsDone() const { return mRemoved ? mNext == nullptr : mCurrent == nullptr; }

void* VoidListIterator::CurrentItem() const { return mCurrent ? mCurrent->item : nullptr; }

void* VoidListIterator::RemoveCurrentItem() {
  if (!mCurrent) return nullptr;
  void* item = mCurrent->item;
  mNext = mCurrent->next;
  mList.Unlink(mCurrent);
  mCurrent = nullptr;
  mRemoved = true;
  return item;
}

void* VoidListIterator::ReplaceCurrentItem(void* item) {
  if (!mCurrent) return nullptr;
  void* old = mCurrent->item;
  mCurrent->item = item;
  return old;
}

// An untyped doubly linked list of void* items, and its iterator. The list never looks at its items; it
// destroys the ones it still holds at RemoveAll() and destruction through an adopted VoidItemDestructor.
// Not thread-safe: one thread at a time (VoidQueue adds the locking for cross-thread use).
#ifndef ZRUTIL_VOIDLIST_H
#define ZRUTIL_VOIDLIST_H

#include <prtypes.h>

#include "ZrUtilExport.h"

class VoidItemDestructor;
class VoidListIterator;

class ZRUTIL_EXPORT VoidList {
 public:
  VoidList();
  ~VoidList();  // destroys the remaining items, then the item destructor

  PRStatus Append(void* item);
  PRStatus Prepend(void* item);
  void* RemoveHead();  // null when empty
  void* RemoveTail();  // null when empty
  void* GetHead() const;
  void* GetTail() const;
  int GetSize() const;
  // Removes the first occurrence of item (pointer identity); true if one was found. Not destroyed.
  bool Remove(void* item);
  bool Contains(void* item) const;
  void RemoveAll();  // destroys every item through the item destructor, if any
  // Takes ownership of destructor (may be null); a previous one is deleted.
  void AdoptItemDestructor(VoidItemDestructor* destructor);

 private:
  friend class VoidListIterator;
  struct Node {
    Node* prev;
    Node* next;
    void* item;
  };
  void Unlink(Node* node);

  VoidList(const VoidList&) = delete;
  VoidList& operator=(const VoidList&) = delete;

  Node* mHead;
  Node* mTail;
  int mSize;
  VoidItemDestructor* mItemDestructor;
};

// Walks a VoidList from head to tail:
//   for (it.First(); !it.IsDone(); it.Next()) { ... it.RemoveCurrentItem(); ... }
// RemoveCurrentItem may be called inside such a loop: afterwards CurrentItem() is null until Next() moves to
// the item that followed the removed one. The list must not be changed except through the iterator while
// an iteration is in progress.
class ZRUTIL_EXPORT VoidListIterator {
 public:
  explicit VoidListIterator(VoidList& list);
  virtual ~VoidListIterator();
  virtual void First();
  virtual void Next();
  virtual bool IsDone() const;
  virtual void* CurrentItem() const;
  // Unlinks the current item and returns it (not destroyed); null when there is none.
  virtual void* RemoveCurrentItem();
  // Puts item in the current position and returns the item it replaced (not destroyed).
  virtual void* ReplaceCurrentItem(void* item);

 private:
  VoidList& mList;
  VoidList::Node* mCurrent;  // null once done or after a removal
  VoidList::Node* mNext;     // where Next() goes after a removal
  bool mRemoved;
};

#endif

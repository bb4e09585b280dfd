// Typed views of the utility library's untyped containers, and a typed list iterator. Each wrapper holds
// the untyped container and nothing else; items are cast to and from T. Copying is disabled the old way:
// the copy constructor yields an empty container and assignment changes nothing.
#ifndef ZRAPPAPI_LIST_H
#define ZRAPPAPI_LIST_H

#include <cstdint>

#include "VoidArray.h"
#include "VoidArrayComparator.h"
#include "VoidList.h"
#include "VoidQueue.h"

namespace zr_detail {
// Items are pointers or integers no wider than a pointer; both travel as void*.
template <typename T>
inline void* ToVoid(T item) {
  static_assert(sizeof(T) <= sizeof(void*), "container items must fit in a pointer");
  return (void*)(uintptr_t)(item);
}
template <typename T>
inline T FromVoid(void* item) {
  return (T)(reinterpret_cast<uintptr_t>(item));
}
}  // namespace zr_detail

template <typename T>
class List {
 public:
  List() {}
  ~List() {}
  PRStatus Append(T item) { return mList.Append(zr_detail::ToVoid(item)); }
  PRStatus Prepend(T item) { return mList.Prepend(zr_detail::ToVoid(item)); }
  T RemoveHead() { return zr_detail::FromVoid<T>(mList.RemoveHead()); }
  T RemoveTail() { return zr_detail::FromVoid<T>(mList.RemoveTail()); }
  T GetHead() const { return zr_detail::FromVoid<T>(mList.GetHead()); }
  T GetTail() const { return zr_detail::FromVoid<T>(mList.GetTail()); }
  int GetSize() const { return mList.GetSize(); }
  bool Remove(T item) { return mList.Remove(zr_detail::ToVoid(item)); }
  bool Contains(T item) const { return mList.Contains(zr_detail::ToVoid(item)); }
  void RemoveAll() { mList.RemoveAll(); }
  void AdoptItemDestructor(VoidItemDestructor* destructor) { mList.AdoptItemDestructor(destructor); }
  VoidList& GetVoidList() { return mList; }

 private:
  List(const List&) {}
  List& operator=(const List&) { return *this; }
  VoidList mList;
};

template <typename T>
class ListIterator {
 public:
  explicit ListIterator(List<T>& list) : mIterator(new VoidListIterator(list.GetVoidList())) {}
  ~ListIterator() { delete mIterator; }
  void First() { mIterator->First(); }
  void Next() { mIterator->Next(); }
  bool IsDone() const { return mIterator->IsDone(); }
  T CurrentItem() const { return zr_detail::FromVoid<T>(mIterator->CurrentItem()); }
  T RemoveCurrentItem() { return zr_detail::FromVoid<T>(mIterator->RemoveCurrentItem()); }
  T ReplaceCurrentItem(T item) {
    return zr_detail::FromVoid<T>(mIterator->ReplaceCurrentItem(zr_detail::ToVoid(item)));
  }

 private:
  ListIterator(const ListIterator&) = delete;
  ListIterator& operator=(const ListIterator&) = delete;
  VoidListIterator* mIterator;
};

template <typename T>
class Array {
 public:
  Array() {}
  ~Array() {}
  PRStatus Append(T item) { return mArray.Append(zr_detail::ToVoid(item)); }
  T ItemAt(unsigned int index) const { return zr_detail::FromVoid<T>(mArray.ItemAt(index)); }
  PRStatus SetItemAt(unsigned int index, T item) { return mArray.SetItemAt(index, zr_detail::ToVoid(item)); }
  T RemoveItemAt(unsigned int index) { return zr_detail::FromVoid<T>(mArray.RemoveItemAt(index)); }
  PRStatus Insert(unsigned int index, unsigned int count) { return mArray.Insert(index, count); }
  void Remove(unsigned int index, unsigned int count) { mArray.Remove(index, count); }
  unsigned int GetSize() const { return mArray.GetSize(); }
  PRStatus SetSize(unsigned int count) { return mArray.SetSize(count); }
  PRStatus SetInitialSize(unsigned int count) { return mArray.SetInitialSize(count); }
  void Sort(const VoidArrayComparator& cmp) { mArray.Sort(cmp); }
  void Sort(unsigned int from, unsigned int to, const VoidArrayComparator& cmp) {
    mArray.Sort(from, to, cmp);
  }
  void SortUnique(const VoidArrayComparator& cmp) { mArray.SortUnique(cmp); }
  bool FindIndex(T item, const VoidArrayComparator& cmp, unsigned int& index) const {
    return mArray.FindIndex(zr_detail::ToVoid(item), cmp, index);
  }
  bool FindIndex(unsigned int from, unsigned int to, T item, const VoidArrayComparator& cmp,
                 unsigned int& index) const {
    return mArray.FindIndex(from, to, zr_detail::ToVoid(item), cmp, index);
  }
  PRStatus Copy(Array<T>& other) { return mArray.Copy(other.mArray); }
  void Expunge(T item) { mArray.Expunge(zr_detail::ToVoid(item)); }
  void Randomize() { mArray.Randomize(); }
  void RemoveAll() { mArray.RemoveAll(); }
  void AdoptItemDestructor(VoidItemDestructor* destructor) { mArray.AdoptItemDestructor(destructor); }
  VoidArray& GetVoidArray() { return mArray; }

 private:
  Array(const Array&) {}
  Array& operator=(const Array&) { return *this; }
  VoidArray mArray;
};

template <typename T>
class Queue {
 public:
  Queue() {}
  ~Queue() {}
  PRStatus Enqueue(T item) { return mQueue.Enqueue(zr_detail::ToVoid(item)); }
  T Dequeue() { return zr_detail::FromVoid<T>(mQueue.Dequeue()); }
  void Shutdown() { mQueue.Shutdown(); }
  void RemoveAll() { mQueue.RemoveAll(); }
  void AdoptItemDestructor(VoidItemDestructor* destructor) { mQueue.AdoptItemDestructor(destructor); }

 private:
  Queue(const Queue&) {}
  Queue& operator=(const Queue&) { return *this; }
  VoidQueue mQueue;
};

#endif

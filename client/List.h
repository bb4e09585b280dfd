// Typed views of the utility library's untyped containers, and a typed list iterator. Each wrapper holds
// the untyped container and nothing else; items are cast to and from T. Copying is disabled the old way:
// the copy constructor yields an empty container and assignment changes nothing.
//
// The containers carry the library's export mark and define their members outside the class (not inline),
// so every instantiation over an exported or built-in type that the library makes is exported from it,
// whichever file makes it; instantiations over internal types stay internal.
#ifndef ZRAPPAPI_LIST_H
#define ZRAPPAPI_LIST_H

#include <cstdint>

#include "VoidArray.h"
#include "VoidArrayComparator.h"
#include "VoidList.h"
#include "VoidQueue.h"
#include "ZrAppApiExport.h"

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
class ZRAPPAPI_EXPORT List {
 public:
  List();
  ~List();
  PRStatus Append(T item);
  PRStatus Prepend(T item);
  T RemoveHead();
  T RemoveTail();
  T GetHead() const;
  T GetTail() const;
  int GetSize() const;
  bool Remove(T item);
  bool Contains(T item) const;
  void RemoveAll();
  void AdoptItemDestructor(VoidItemDestructor* destructor);
  VoidList& GetVoidList();

 private:
  List(const List&);
  List& operator=(const List&);
  VoidList mList;
};

template <typename T>
List<T>::List() {}
template <typename T>
List<T>::~List() {}
template <typename T>
List<T>::List(const List&) {}
template <typename T>
List<T>& List<T>::operator=(const List&) {
  return *this;
}
template <typename T>
PRStatus List<T>::Append(T item) {
  return mList.Append(zr_detail::ToVoid(item));
}
template <typename T>
PRStatus List<T>::Prepend(T item) {
  return mList.Prepend(zr_detail::ToVoid(item));
}
template <typename T>
T List<T>::RemoveHead() {
  return zr_detail::FromVoid<T>(mList.RemoveHead());
}
template <typename T>
T List<T>::RemoveTail() {
  return zr_detail::FromVoid<T>(mList.RemoveTail());
}
template <typename T>
T List<T>::GetHead() const {
  return zr_detail::FromVoid<T>(mList.GetHead());
}
template <typename T>
T List<T>::GetTail() const {
  return zr_detail::FromVoid<T>(mList.GetTail());
}
template <typename T>
int List<T>::GetSize() const {
  return mList.GetSize();
}
template <typename T>
bool List<T>::Remove(T item) {
  return mList.Remove(zr_detail::ToVoid(item));
}
template <typename T>
bool List<T>::Contains(T item) const {
  return mList.Contains(zr_detail::ToVoid(item));
}
template <typename T>
void List<T>::RemoveAll() {
  mList.RemoveAll();
}
template <typename T>
void List<T>::AdoptItemDestructor(VoidItemDestructor* destructor) {
  mList.AdoptItemDestructor(destructor);
}
template <typename T>
VoidList& List<T>::GetVoidList() {
  return mList;
}

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
class ZRAPPAPI_EXPORT Array {
 public:
  Array();
  ~Array();
  PRStatus Append(T item);
  T ItemAt(unsigned int index) const;
  PRStatus SetItemAt(unsigned int index, T item);
  T RemoveItemAt(unsigned int index);
  PRStatus Insert(unsigned int index, unsigned int count);
  void Remove(unsigned int index, unsigned int count);
  unsigned int GetSize() const;
  PRStatus SetSize(unsigned int count);
  PRStatus SetInitialSize(unsigned int count);
  void Sort(const VoidArrayComparator& cmp);
  void Sort(unsigned int from, unsigned int to, const VoidArrayComparator& cmp);
  void SortUnique(const VoidArrayComparator& cmp);
  bool FindIndex(T item, const VoidArrayComparator& cmp, unsigned int& index) const;
  bool FindIndex(unsigned int from, unsigned int to, T item, const VoidArrayComparator& cmp,
                 unsigned int& index) const;
  PRStatus Copy(Array<T>& other);
  void Expunge(T item);
  void Randomize();
  void RemoveAll();
  void AdoptItemDestructor(VoidItemDestructor* destructor);
  VoidArray& GetVoidArray();

 private:
  Array(const Array&);
  Array& operator=(const Array&);
  VoidArray mArray;
};

template <typename T>
Array<T>::Array() {}
template <typename T>
Array<T>::~Array() {}
template <typename T>
Array<T>::Array(const Array&) {}
template <typename T>
Array<T>& Array<T>::operator=(const Array&) {
  return *this;
}
template <typename T>
PRStatus Array<T>::Append(T item) {
  return mArray.Append(zr_detail::ToVoid(item));
}
template <typename T>
T Array<T>::ItemAt(unsigned int index) const {
  return zr_detail::FromVoid<T>(mArray.ItemAt(index));
}
template <typename T>
PRStatus Array<T>::SetItemAt(unsigned int index, T item) {
  return mArray.SetItemAt(index, zr_detail::ToVoid(item));
}
template <typename T>
T Array<T>::RemoveItemAt(unsigned int index) {
  return zr_detail::FromVoid<T>(mArray.RemoveItemAt(index));
}
template <typename T>
PRStatus Array<T>::Insert(unsigned int index, unsigned int count) {
  return mArray.Insert(index, count);
}
template <typename T>
void Array<T>::Remove(unsigned int index, unsigned int count) {
  mArray.Remove(index, count);
}
template <typename T>
unsigned int Array<T>::GetSize() const {
  return mArray.GetSize();
}
template <typename T>
PRStatus Array<T>::SetSize(unsigned int count) {
  return mArray.SetSize(count);
}
template <typename T>
PRStatus Array<T>::SetInitialSize(unsigned int count) {
  return mArray.SetInitialSize(count);
}
template <typename T>
void Array<T>::Sort(const VoidArrayComparator& cmp) {
  mArray.Sort(cmp);
}
template <typename T>
void Array<T>::Sort(unsigned int from, unsigned int to, const VoidArrayComparator& cmp) {
  mArray.Sort(from, to, cmp);
}
template <typename T>
void Array<T>::SortUnique(const VoidArrayComparator& cmp) {
  mArray.SortUnique(cmp);
}
template <typename T>
bool Array<T>::FindIndex(T item, const VoidArrayComparator& cmp, unsigned int& index) const {
  return mArray.FindIndex(zr_detail::ToVoid(item), cmp, index);
}
template <typename T>
bool Array<T>::FindIndex(unsigned int from, unsigned int to, T item, const VoidArrayComparator& cmp,
                         unsigned int& index) const {
  return mArray.FindIndex(from, to, zr_detail::ToVoid(item), cmp, index);
}
template <typename T>
PRStatus Array<T>::Copy(Array<T>& other) {
  return mArray.Copy(other.mArray);
}
template <typename T>
void Array<T>::Expunge(T item) {
  mArray.Expunge(zr_detail::ToVoid(item));
}
template <typename T>
void Array<T>::Randomize() {
  mArray.Randomize();
}
template <typename T>
void Array<T>::RemoveAll() {
  mArray.RemoveAll();
}
template <typename T>
void Array<T>::AdoptItemDestructor(VoidItemDestructor* destructor) {
  mArray.AdoptItemDestructor(destructor);
}
template <typename T>
VoidArray& Array<T>::GetVoidArray() {
  return mArray;
}

template <typename T>
class ZRAPPAPI_EXPORT Queue {
 public:
  Queue();
  ~Queue();
  PRStatus Enqueue(T item);
  T Dequeue();
  void Shutdown();
  void RemoveAll();
  void AdoptItemDestructor(VoidItemDestructor* destructor);

 private:
  Queue(const Queue&);
  Queue& operator=(const Queue&);
  VoidQueue mQueue;
};

template <typename T>
Queue<T>::Queue() {}
template <typename T>
Queue<T>::~Queue() {}
template <typename T>
Queue<T>::Queue(const Queue&) {}
template <typename T>
Queue<T>& Queue<T>::operator=(const Queue&) {
  return *this;
}
template <typename T>
PRStatus Queue<T>::Enqueue(T item) {
  return mQueue.Enqueue(zr_detail::ToVoid(item));
}
template <typename T>
T Queue<T>::Dequeue() {
  return zr_detail::FromVoid<T>(mQueue.Dequeue());
}
template <typename T>
void Queue<T>::Shutdown() {
  mQueue.Shutdown();
}
template <typename T>
void Queue<T>::RemoveAll() {
  mQueue.RemoveAll();
}
template <typename T>
void Queue<T>::AdoptItemDestructor(VoidItemDestructor* destructor) {
  mQueue.AdoptItemDestructor(destructor);
}

#endif

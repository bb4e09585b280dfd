// An untyped growable array of void* slots. Slots may be null: RemoveItemAt empties a slot without moving
// anything, Expunge(null) later closes the holes, so indexes stay valid while a caller works through them.
// Not thread-safe.
#ifndef ZRUTIL_VOIDARRAY_H
#define ZRUTIL_VOIDARRAY_H

#include <prtypes.h>

#include "ZrUtilExport.h"

class VoidArrayComparator;
class VoidItemDestructor;

class ZRUTIL_EXPORT VoidArray {
 public:
  // Number of slots in use. Public and first, so callers may read it directly.
  unsigned int mCount;

  VoidArray();
  ~VoidArray();  // destroys the remaining non-null items, then the item destructor

  PRStatus Append(void* item);
  void* ItemAt(unsigned int index) const;              // null beyond the end
  PRStatus SetItemAt(unsigned int index, void* item);  // grows the array when index >= mCount
  // Opens count empty (null) slots at index; index may equal mCount.
  PRStatus Insert(unsigned int index, unsigned int count);
  // Closes count slots starting at index, moving later slots down. The items are not destroyed.
  void Remove(unsigned int index, unsigned int count);
  // Moves the item at from to slot to; the items between shift one slot towards from. Costs the distance
  // moved, not the array's tail. Out of range: nothing moves.
  void Move(unsigned int from, unsigned int to);
  // Returns the item and leaves its slot null; nothing moves.
  void* RemoveItemAt(unsigned int index);
  // Drops every slot holding item (with null: every empty slot), keeping the order of the others.
  void Expunge(void* item);
  unsigned int GetSize() const { return mCount; }
  // New slots are null; when shrinking, the dropped items are not destroyed.
  PRStatus SetSize(unsigned int count);
  // Reserves room for count slots without changing mCount.
  PRStatus SetInitialSize(unsigned int count);
  void Sort(const VoidArrayComparator& cmp);
  // Sorts slots from..to inclusive; an empty or inverted range does nothing.
  void Sort(unsigned int from, unsigned int to, const VoidArrayComparator& cmp);
  // Sorts, then keeps the first of each run of equal items; the others go to the item destructor.
  void SortUnique(const VoidArrayComparator& cmp);
  // Searches the sorted array by halving. True with the matching index, or false with the index at which
  // item would be inserted to keep the order.
  bool FindIndex(const void* item, const VoidArrayComparator& cmp, unsigned int& index) const;
  // The same within slots from..to inclusive (the answer then lies in from..to+1).
  bool FindIndex(unsigned int from, unsigned int to, const void* item, const VoidArrayComparator& cmp,
                 unsigned int& index) const;
  // Replaces this array's slots by a copy of other's (items are shared, not duplicated).
  PRStatus Copy(const VoidArray& other);
  void Randomize();  // shuffles the slots
  void RemoveAll();  // destroys every non-null item through the item destructor; mCount becomes 0
  void AdoptItemDestructor(VoidItemDestructor* destructor);

 private:
  VoidArray(const VoidArray&) = delete;
  VoidArray& operator=(const VoidArray&) = delete;
  PRStatus Reserve(unsigned int capacity);

  void** mItems;
  unsigned int mCapacity;
  VoidItemDestructor* mItemDestructor;
};

#endif

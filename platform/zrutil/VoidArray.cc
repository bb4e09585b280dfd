#include "VoidArray.h"

#include <prmem.h>
#include <prtime.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "VoidArrayComparator.h"
#include "VoidItemDestructor.h"

namespace {

const unsigned int kMaxSlots = 0x7fffffffu / sizeof(void*);

}  // namespace

VoidArray::VoidArray() : mCount(0), mItems(nullptr), mCapacity(0), mItemDestructor(nullptr) {}

VoidArray::~VoidArray() {
  RemoveAll();
  PR_Free(mItems);
  delete mItemDestructor;
}

PRStatus VoidArray::Reserve(unsigned int capacity) {
  if (capacity <= mCapacity) return PR_SUCCESS;
  if (capacity > kMaxSlots) return PR_FAILURE;
  // Grow geometrically so that a run of Appends costs amortised constant time.
  unsigned int grown = mCapacity < 8 ? 8 : mCapacity + mCapacity / 2;
  if (grown > kMaxSlots) grown = kMaxSlots;
  if (grown < capacity) grown = capacity;
  void** items = static_cast<void**>(PR_Realloc(mItems, grown * sizeof(void*)));
  if (!items) return PR_FAILURE;
  mItems = items;
  mCapacity = grown;
  return PR_SUCCESS;
}

PRStatus VoidArray::Append(void* item) {
  if (mCount == mCapacity && Reserve(mCount + 1) != PR_SUCCESS) return PR_FAILURE;
  mItems[mCount++] = item;
  return PR_SUCCESS;
}

void* VoidArray::ItemAt(unsigned int index) const { return index < mCount ? mItems[index] : nullptr; }

PRStatus VoidArray::SetItemAt(unsigned int index, void* item) {
  // index + 1 must not wrap to 0, which SetSize would accept.
  if (index >= kMaxSlots) return PR_FAILURE;
  if (index >= mCount && SetSize(index + 1) != PR_SUCCESS) return PR_FAILURE;
  mItems[index] = item;
  return PR_SUCCESS;
}

PRStatus VoidArray::Insert(unsigned int index, unsigned int count) {
  if (index > mCount) return PR_FAILURE;
  if (count == 0) return PR_SUCCESS;
  if (count > kMaxSlots - mCount || Reserve(mCount + count) != PR_SUCCESS) return PR_FAILURE;
  std::memmove(mItems + index + count, mItems + index, (mCount - index) * sizeof(void*));
  std::memset(mItems + index, 0, count * sizeof(void*));
  mCount += count;
  return PR_SUCCESS;
}

void VoidArray::Remove(unsigned int index, unsigned int count) {
  if (index >= mCount) return;
  if (count > mCount - index) count = mCount - index;
  std::memmove(mItems + index, mItems + index + count, (mCount - index - count) * sizeof(void*));
  mCount -= count;
}

void VoidArray::Move(unsigned int from, unsigned int to) {
  if (from >= mCount || to >= mCount || from == to) return;
  void* item = mItems[from];
  if (from < to)
    std::memmove(mItems + from, mItems + from + 1, (to - from) * sizeof(void*));
  else
    std::memmove(mItems + to + 1, mItems + to, (from - to) * sizeof(void*));
  mItems[to] = item;
}

void* VoidArray::RemoveItemAt(unsigned int index) {
  if (index >= mCount) return nullptr;
  void* item = mItems[index];
  mItems[index] = nullptr;
  return item;
}

void VoidArray::Expunge(void* item) {
  unsigned int kept = 0;
  for (unsigned int i = 0; i < mCount; ++i) {
    if (mItems[i] != item) mItems[kept++] = mItems[i];
  }
  mCount = kept;
}

PRStatus VoidArray::SetSize(unsigned int count) {
  if (count > mCount) {
    if (Reserve(count) != PR_SUCCESS) return PR_FAILURE;
    std::memset(mItems + mCount, 0, (count - mCount) * sizeof(void*));
  }
  mCount = count;
  return PR_SUCCESS;
}

PRStatus VoidArray::SetInitialSize(unsigned int count) {
  if (count <= mCapacity) return PR_SUCCESS;
  if (count > kMaxSlots) return PR_FAILURE;
  // A first reservation is usually for an array that stays at that size for long. glibc's calloc, unlike
  // its malloc, never hands out a recently freed chunk of another thread's heap, which the array would
  // keep resident (with the rest of its page) for its whole life.
  void** items = static_cast<void**>(mItems ? PR_Realloc(mItems, count * sizeof(void*))
                                            : PR_Calloc(count, sizeof(void*)));
  if (!items) return PR_FAILURE;
  mItems = items;
  mCapacity = count;
  return PR_SUCCESS;
}

void VoidArray::Sort(const VoidArrayComparator& cmp) {
  if (mCount > 1) Sort(0, mCount - 1, cmp);
}

void VoidArray::Sort(unsigned int from, unsigned int to, const VoidArrayComparator& cmp) {
  if (mCount == 0 || from >= mCount) return;
  if (to >= mCount) to = mCount - 1;
  if (from >= to) return;
  // A merge sort: equal items keep their order, and a comparator that is not a strict ordering cannot
  // make it read outside the range.
  std::stable_sort(mItems + from, mItems + to + 1,
                   [&cmp](const void* a, const void* b) { return cmp.Compare(a, b) < 0; });
}

void VoidArray::SortUnique(const VoidArrayComparator& cmp) {
  Sort(cmp);
  if (mCount < 2) return;
  unsigned int kept = 1;
  for (unsigned int i = 1; i < mCount; ++i) {
    void* item = mItems[i];
    if (cmp.Compare(mItems[kept - 1], item) == 0) {
      if (item && item != mItems[kept - 1] && mItemDestructor) mItemDestructor->Destroy(item);
    } else {
      mItems[kept++] = item;
    }
  }
  mCount = kept;
}

bool VoidArray::FindIndex(const void* item, const VoidArrayComparator& cmp, unsigned int& index) const {
  if (mCount == 0) {
    index = 0;
    return false;
  }
  return FindIndex(0, mCount - 1, item, cmp, index);
}

bool VoidArray::FindIndex(unsigned int from, unsigned int to, const void* item,
                          const VoidArrayComparator& cmp, unsigned int& index) const {
  if (from >= mCount || to < from) {
    index = from < mCount ? from : mCount;
    return false;
  }
  if (to >= mCount) to = mCount - 1;
  unsigned int low = from;
  unsigned int high = to + 1;  // exclusive
  while (low < high) {
    unsigned int middle = low + (high - low) / 2;
    int order = cmp.Compare(item, mItems[middle]);
    if (order == 0) {
      index = middle;
      return true;
    }
    if (order < 0)
      high = middle;
    else
      low = middle + 1;
  }
  index = low;
  return false;
}

PRStatus VoidArray::Copy(const VoidArray& other) {
  if (&other == this) return PR_SUCCESS;
  if (Reserve(other.mCount) != PR_SUCCESS) return PR_FAILURE;
  if (other.mCount) std::memcpy(mItems, other.mItems, other.mCount * sizeof(void*));
  mCount = other.mCount;
  return PR_SUCCESS;
}

void VoidArray::Randomize() {
  if (mCount < 2) return;
  std::minstd_rand random(static_cast<std::minstd_rand::result_type>(PR_Now()) ^ std::random_device{}());
  for (unsigned int i = mCount - 1; i > 0; --i) {
    std::uniform_int_distribution<unsigned int> pick(0, i);
    std::swap(mItems[i], mItems[pick(random)]);
  }
}

void VoidArray::RemoveAll() {
  // Empty the array before destroying, so a destructor that looks back at it sees no stale slots.
  unsigned int count = mCount;
  mCount = 0;
  if (mItemDestructor) {
    for (unsigned int i = 0; i < count; ++i) {
      if (mItems[i]) mItemDestructor->Destroy(mItems[i]);
    }
  }
}

void VoidArray::AdoptItemDestructor(VoidItemDestructor* destructor) {
  if (destructor == mItemDestructor) return;
  delete mItemDestructor;
  mItemDestructor = destructor;
}

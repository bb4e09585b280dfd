#include "List.h"

#include <gtest/gtest.h>

#include <cstring>

#include "VoidArrayComparator.h"
#include "VoidItemDestructor.h"

namespace {

class IntComparator : public VoidArrayComparator {
 public:
  int Compare(const void* a, const void* b) const override {
    long x = reinterpret_cast<long>(a), y = reinterpret_cast<long>(b);
    return x < y ? -1 : x > y ? 1 : 0;
  }
};

class CountingDestructor : public VoidItemDestructor {
 public:
  explicit CountingDestructor(int* count) : mCount(count) {}
  void Destroy(void*) override { ++*mCount; }

 private:
  int* mCount;
};

TEST(List, IntegersAndPointersSurviveTheUntypedTrip) {
  List<int> ints;
  ints.Append(-7);
  ints.Append(0);
  ints.Prepend(2147483647);
  EXPECT_EQ(3, ints.GetSize());
  EXPECT_EQ(2147483647, ints.RemoveHead());
  EXPECT_EQ(0, ints.RemoveTail());
  EXPECT_EQ(-7, ints.GetHead());

  List<unsigned long> big;
  big.Append(~0UL);
  EXPECT_EQ(~0UL, big.RemoveHead());
  EXPECT_EQ(0UL, big.RemoveHead());  // empty: the untyped null

  const char* text = "abc";
  List<const char*> texts;
  texts.Append(text);
  EXPECT_EQ(text, texts.GetHead());
}

TEST(List, IteratorRemovesAndReplacesInPlace) {
  List<long> list;
  for (long i = 1; i <= 5; ++i) list.Append(i);
  {
    ListIterator<long> it(list);
    for (it.First(); !it.IsDone(); it.Next()) {
      long current = it.CurrentItem();
      if (current % 2 == 0) {
        EXPECT_EQ(current, it.RemoveCurrentItem());
        EXPECT_EQ(0, it.CurrentItem());
      } else if (current == 5) {
        EXPECT_EQ(5, it.ReplaceCurrentItem(50));
      }
    }
  }
  ASSERT_EQ(3, list.GetSize());
  EXPECT_EQ(1, list.RemoveHead());
  EXPECT_EQ(3, list.RemoveHead());
  EXPECT_EQ(50, list.RemoveHead());
}

TEST(List, RemoveAllAndDestructionHandItemsToTheAdoptedDestructor) {
  int destroyed = 0;
  {
    List<int> list;
    list.AdoptItemDestructor(new CountingDestructor(&destroyed));
    list.Append(1);
    list.Append(2);
    list.RemoveAll();
    EXPECT_EQ(2, destroyed);
    list.Append(3);
    EXPECT_EQ(3, list.RemoveHead());  // removed, so not destroyed
    list.Append(4);
  }
  EXPECT_EQ(3, destroyed);

  destroyed = 0;
  {
    Queue<int> queue;
    queue.AdoptItemDestructor(new CountingDestructor(&destroyed));
    queue.Enqueue(5);
    queue.Enqueue(6);
    EXPECT_EQ(5, queue.Dequeue());
    queue.Shutdown();
    EXPECT_EQ(0, queue.Dequeue());  // shut down: null at once, the queued item stays
  }
  EXPECT_EQ(1, destroyed);
}

TEST(Array, FindIndexAnswersTheInsertionIndexForAnAbsentItem) {
  Array<long> arr;
  for (long v : {40L, 10L, 30L, 20L}) arr.Append(v);
  IntComparator cmp;
  arr.Sort(cmp);
  unsigned int index = 99;
  EXPECT_TRUE(arr.FindIndex(30L, cmp, index));
  EXPECT_EQ(2u, index);
  EXPECT_FALSE(arr.FindIndex(25L, cmp, index));
  EXPECT_EQ(2u, index);
  EXPECT_FALSE(arr.FindIndex(5L, cmp, index));
  EXPECT_EQ(0u, index);
  EXPECT_FALSE(arr.FindIndex(45L, cmp, index));
  EXPECT_EQ(4u, index);
  // Within a range: the answer lies in from..to+1.
  EXPECT_FALSE(arr.FindIndex(1, 2, 35L, cmp, index));
  EXPECT_EQ(3u, index);

  Array<long> copy;
  EXPECT_EQ(PR_SUCCESS, copy.Copy(arr));
  ASSERT_EQ(4u, copy.GetSize());
  EXPECT_EQ(10L, copy.RemoveItemAt(0));
  EXPECT_EQ(4u, copy.GetSize());  // the slot stays, emptied
  copy.Expunge(0L);
  EXPECT_EQ(3u, copy.GetSize());
  EXPECT_EQ(20L, copy.ItemAt(0));
}

TEST(Array, StringsSortAndUniquify) {
  Array<const char*> arr;
  const char* items[] = {"pear", "apple", "fig", "apple"};
  for (const char* s : items) arr.Append(s);
  StringVoidArrayComparator cmp;
  arr.SortUnique(cmp);
  ASSERT_EQ(3u, arr.GetSize());
  EXPECT_STREQ("apple", arr.ItemAt(0));
  EXPECT_STREQ("fig", arr.ItemAt(1));
  EXPECT_STREQ("pear", arr.ItemAt(2));
}

}  // namespace

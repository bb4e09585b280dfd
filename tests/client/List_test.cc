#include "List.h"

#include <gtest/gtest.h>

#include "VoidArrayComparator.h"

namespace {

class LongComparator : public VoidArrayComparator {
 public:
  int Compare(const void* a, const void* b) const override {
    long x = reinterpret_cast<long>(a), y = reinterpret_cast<long>(b);
    return x < y ? -1 : x > y ? 1 : 0;
  }
};

TEST(List, ItemsSurviveTheUntypedTripAndTheIteratorEditsInPlace) {
  List<int> ints;
  ints.Append(-7);
  ints.Append(0);
  ints.Prepend(2147483647);
  EXPECT_EQ(2147483647, ints.RemoveHead());
  EXPECT_EQ(0, ints.RemoveTail());
  EXPECT_EQ(-7, ints.GetHead());
  List<unsigned long> big;
  big.Append(~0UL);
  EXPECT_EQ(~0UL, big.RemoveHead());
  EXPECT_EQ(0UL, big.RemoveHead());  // empty: the untyped null

  List<long> list;
  for (long i = 1; i <= 5; ++i) list.Append(i);
  {
    ListIterator<long> it(list);
    for (it.First(); !it.IsDone(); it.Next()) {
      long item = it.CurrentItem();
      if (item % 2 == 0) {
        EXPECT_EQ(item, it.RemoveCurrentItem());
      } else if (item == 5) {
        EXPECT_EQ(5, it.ReplaceCurrentItem(-50));
      }
    }
  }
  ASSERT_EQ(3, list.GetSize());
  EXPECT_EQ(1, list.RemoveHead());
  EXPECT_EQ(3, list.RemoveHead());
  EXPECT_EQ(-50, list.RemoveHead());
}

TEST(Array, FindIndexAnswersTheInsertionIndexForAnAbsentItem) {
  Array<long> arr;
  for (long v : {40L, 10L, 30L, 20L}) arr.Append(v);
  LongComparator cmp;
  arr.Sort(cmp);
  unsigned int index = 99;
  EXPECT_TRUE(arr.FindIndex(30L, cmp, index));
  EXPECT_EQ(2u, index);
  EXPECT_FALSE(arr.FindIndex(25L, cmp, index));
  EXPECT_EQ(2u, index);
  EXPECT_FALSE(arr.FindIndex(-5L, cmp, index));
  EXPECT_EQ(0u, index);
  EXPECT_FALSE(arr.FindIndex(45L, cmp, index));
  EXPECT_EQ(4u, index);
  EXPECT_FALSE(arr.FindIndex(1, 2, 35L, cmp, index));  // within a range: from..to+1
  EXPECT_EQ(3u, index);

  Array<long> copy;
  EXPECT_EQ(PR_SUCCESS, copy.Copy(arr));
  EXPECT_EQ(10L, copy.RemoveItemAt(0));
  EXPECT_EQ(4u, copy.GetSize());  // the slot stays, emptied
  copy.Expunge(0L);
  EXPECT_EQ(3u, copy.GetSize());
  EXPECT_EQ(20L, copy.ItemAt(0));
}

}  // namespace

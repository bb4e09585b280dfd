#include "VoidArray.h"

#include <gtest/gtest.h>
#include <plstr.h>

#include <algorithm>
#include <string>
#include <vector>

#include "VoidArrayComparator.h"
#include "VoidItemDestructor.h"

namespace {

void* P(long n) { return reinterpret_cast<void*>(n); }

class LongComparator : public VoidArrayComparator {
 public:
  int Compare(const void* a, const void* b) const override {
    long x = reinterpret_cast<long>(a), y = reinterpret_cast<long>(b);
    return x < y ? -1 : x > y ? 1 : 0;
  }
};

// Orders by the tens digit only, so items 11 and 12 are equal but distinguishable.
class TensComparator : public VoidArrayComparator {
 public:
  int Compare(const void* a, const void* b) const override {
    return static_cast<int>(reinterpret_cast<long>(a) / 10 - reinterpret_cast<long>(b) / 10);
  }
};

class Recorder : public VoidItemDestructor {
 public:
  explicit Recorder(std::vector<long>* destroyed) : mDestroyed(destroyed) {}
  void Destroy(void* item) override { mDestroyed->push_back(reinterpret_cast<long>(item)); }

 private:
  std::vector<long>* mDestroyed;
};

std::vector<long> Items(const VoidArray& array) {
  std::vector<long> out;
  for (unsigned int i = 0; i < array.mCount; ++i) out.push_back(reinterpret_cast<long>(array.ItemAt(i)));
  return out;
}

VoidArray* Make(std::initializer_list<long> items) {
  VoidArray* array = new VoidArray;
  for (long n : items) array->Append(P(n));
  return array;
}

TEST(VoidArray, ItemAccessAndGrowth) {
  VoidArray array;
  EXPECT_EQ(nullptr, array.ItemAt(0));
  for (long n = 1; n <= 1000; ++n) ASSERT_EQ(PR_SUCCESS, array.Append(P(n)));
  EXPECT_EQ(1000u, array.mCount);
  EXPECT_EQ(1000u, *reinterpret_cast<unsigned int*>(&array));  // the count is the first member
  EXPECT_EQ(P(1000), array.ItemAt(999));
  EXPECT_EQ(nullptr, array.ItemAt(1000));
  // SetItemAt beyond the end grows the array with empty slots.
  VoidArray sparse;
  EXPECT_EQ(PR_SUCCESS, sparse.SetItemAt(3, P(4)));
  EXPECT_EQ((std::vector<long>{0, 0, 0, 4}), Items(sparse));
  sparse.SetItemAt(0, P(1));
  EXPECT_EQ(P(1), sparse.ItemAt(0));
  // SetSize shrinks without destroying and grows with nulls; SetInitialSize only reserves.
  EXPECT_EQ(PR_SUCCESS, sparse.SetSize(1));
  EXPECT_EQ(PR_SUCCESS, sparse.SetSize(3));
  EXPECT_EQ((std::vector<long>{1, 0, 0}), Items(sparse));
  EXPECT_EQ(PR_SUCCESS, sparse.SetInitialSize(100));
  EXPECT_EQ(3u, sparse.mCount);
  // Absurd sizes fail instead of wrapping around.
  EXPECT_EQ(PR_FAILURE, sparse.SetSize(0xffffffffu));
  EXPECT_EQ(PR_FAILURE, sparse.Insert(1, 0xfffffffeu));
  EXPECT_EQ(PR_FAILURE, sparse.SetItemAt(0xffffffffu, P(9)));  // index + 1 would wrap to 0
  EXPECT_EQ(3u, sparse.mCount);
}

TEST(VoidArray, InsertAndRemoveRanges) {
  VoidArray* array = Make({1, 2, 3});
  EXPECT_EQ(PR_SUCCESS, array->Insert(1, 2));
  EXPECT_EQ((std::vector<long>{1, 0, 0, 2, 3}), Items(*array));
  EXPECT_EQ(PR_SUCCESS, array->Insert(5, 1));  // at the end
  EXPECT_EQ(PR_SUCCESS, array->Insert(0, 1));  // at the front
  EXPECT_EQ((std::vector<long>{0, 1, 0, 0, 2, 3, 0}), Items(*array));
  EXPECT_EQ(PR_FAILURE, array->Insert(8, 1));  // past the end
  array->Remove(1, 3);
  EXPECT_EQ((std::vector<long>{0, 2, 3, 0}), Items(*array));
  array->Remove(2, 100);  // clipped at the end
  EXPECT_EQ((std::vector<long>{0, 2}), Items(*array));
  array->Remove(5, 1);  // beyond the end: nothing
  EXPECT_EQ(2u, array->mCount);
  delete array;
}

// Move against a reference that removes the item and inserts it again, over every pair of slots of a
// small array and slots past its end; the items it holds must stay owned exactly once.
TEST(VoidArray, MoveShiftsTheRangeBetween) {
  const unsigned int kSize = 7;
  for (unsigned int from = 0; from <= kSize; ++from) {
    for (unsigned int to = 0; to <= kSize; ++to) {
      std::vector<long> destroyed;
      VoidArray* array = Make({1, 2, 3, 4, 5, 6, 7});
      array->AdoptItemDestructor(new Recorder(&destroyed));
      std::vector<long> expected = Items(*array);
      if (from < kSize && to < kSize) {
        const long item = expected[from];
        expected.erase(expected.begin() + from);
        expected.insert(expected.begin() + to, item);
      }
      array->Move(from, to);
      EXPECT_EQ(expected, Items(*array)) << from << " -> " << to;
      delete array;
      std::sort(destroyed.begin(), destroyed.end());
      EXPECT_EQ((std::vector<long>{1, 2, 3, 4, 5, 6, 7}), destroyed) << from << " -> " << to;
    }
  }
}

TEST(VoidArray, RemoveItemAtLeavesHoleAndExpungeClosesHoles) {
  VoidArray* array = Make({1, 2, 3, 2, 4});
  EXPECT_EQ(P(2), array->RemoveItemAt(1));
  EXPECT_EQ(nullptr, array->RemoveItemAt(1));
  EXPECT_EQ(nullptr, array->RemoveItemAt(99));
  EXPECT_EQ((std::vector<long>{1, 0, 3, 2, 4}), Items(*array));  // nothing moved
  EXPECT_EQ(P(3), array->ItemAt(2));
  array->Expunge(P(2));  // drops every slot holding it
  EXPECT_EQ((std::vector<long>{1, 0, 3, 4}), Items(*array));
  array->RemoveItemAt(0);
  array->RemoveItemAt(3);
  array->Expunge(nullptr);  // drops the empty slots, keeping order
  EXPECT_EQ((std::vector<long>{3}), Items(*array));
  array->Expunge(P(3));
  EXPECT_EQ(0u, array->mCount);
  delete array;
}

TEST(VoidArray, FindIndexGivesMatchOrInsertionIndex) {
  LongComparator cmp;
  VoidArray empty;
  unsigned int index = 99;
  EXPECT_FALSE(empty.FindIndex(P(5), cmp, index));
  EXPECT_EQ(0u, index);

  VoidArray* array = Make({10, 20, 30, 40, 50});
  for (unsigned int i = 0; i < 5; ++i) {
    EXPECT_TRUE(array->FindIndex(P(10 * (i + 1)), cmp, index));
    EXPECT_EQ(i, index);
  }
  EXPECT_FALSE(array->FindIndex(P(5), cmp, index));
  EXPECT_EQ(0u, index);  // before the first
  EXPECT_FALSE(array->FindIndex(P(55), cmp, index));
  EXPECT_EQ(5u, index);  // after the last
  EXPECT_FALSE(array->FindIndex(P(35), cmp, index));
  EXPECT_EQ(3u, index);
  EXPECT_FALSE(array->FindIndex(P(11), cmp, index));
  EXPECT_EQ(1u, index);

  // Within a range the answer lies in from..to+1, even when the item sorts outside the range.
  EXPECT_TRUE(array->FindIndex(1, 3, P(40), cmp, index));
  EXPECT_EQ(3u, index);
  EXPECT_FALSE(array->FindIndex(1, 3, P(50), cmp, index));
  EXPECT_EQ(4u, index);
  EXPECT_FALSE(array->FindIndex(1, 3, P(10), cmp, index));
  EXPECT_EQ(1u, index);
  EXPECT_FALSE(array->FindIndex(2, 2, P(25), cmp, index));
  EXPECT_EQ(2u, index);
  EXPECT_FALSE(array->FindIndex(2, 2, P(31), cmp, index));
  EXPECT_EQ(3u, index);
  EXPECT_FALSE(array->FindIndex(3, 1, P(31), cmp, index));  // inverted range: nothing searched
  EXPECT_EQ(3u, index);
  EXPECT_TRUE(array->FindIndex(3, 100, P(50), cmp, index));  // end clipped to the last slot
  EXPECT_EQ(4u, index);

  // Inserting at the insertion index keeps the order, every time.
  VoidArray sorted;
  for (long n : {50, 10, 40, 20, 30, 60, 0, 35}) {
    ASSERT_FALSE(sorted.FindIndex(P(n), cmp, index));
    sorted.Insert(index, 1);
    sorted.SetItemAt(index, P(n));
  }
  EXPECT_EQ((std::vector<long>{0, 10, 20, 30, 35, 40, 50, 60}), Items(sorted));
  delete array;
}

TEST(VoidArray, SortWholeAndRangeAndStrings) {
  LongComparator cmp;
  VoidArray* array = Make({5, 3, 9, 1, 7, 2});
  array->Sort(1, 4, cmp);  // inclusive
  EXPECT_EQ((std::vector<long>{5, 1, 3, 7, 9, 2}), Items(*array));
  array->Sort(4, 2, cmp);  // inverted: nothing
  array->Sort(5, 5, cmp);
  EXPECT_EQ((std::vector<long>{5, 1, 3, 7, 9, 2}), Items(*array));
  array->Sort(cmp);
  EXPECT_EQ((std::vector<long>{1, 2, 3, 5, 7, 9}), Items(*array));
  delete array;

  // Equal items keep their order.
  TensComparator tens;
  VoidArray* stable = Make({21, 12, 22, 11, 13});
  stable->Sort(tens);
  EXPECT_EQ((std::vector<long>{12, 11, 13, 21, 22}), Items(*stable));
  delete stable;

  StringVoidArrayComparator strings;
  EXPECT_LT(strings.Compare(nullptr, ""), 0);
  EXPECT_GT(strings.Compare("a", nullptr), 0);
  EXPECT_EQ(0, strings.Compare(nullptr, nullptr));
  EXPECT_LT(strings.Compare("B", "a"), 0);  // bytewise
  EXPECT_GT(strings.Compare("\xe9", "z"), 0);
  const char* words[] = {"pear", nullptr, "Apple", "apple", "\xe9t\xe9"};
  VoidArray texts;
  for (const char* w : words) texts.Append(const_cast<char*>(w));
  texts.Sort(strings);
  EXPECT_EQ(nullptr, texts.ItemAt(0));
  EXPECT_STREQ("Apple", static_cast<char*>(texts.ItemAt(1)));
  EXPECT_STREQ("apple", static_cast<char*>(texts.ItemAt(2)));
  EXPECT_STREQ("pear", static_cast<char*>(texts.ItemAt(3)));
  EXPECT_STREQ("\xe9t\xe9", static_cast<char*>(texts.ItemAt(4)));
}

TEST(VoidArray, SortUniqueDestroysDroppedDuplicates) {
  // Each string is a separate NSPR allocation; ASan reports a leak if a dropped duplicate is not freed
  // and a double free if a kept one is.
  VoidArray array;
  array.AdoptItemDestructor(new FreeVoidItemDestructor);
  for (const char* w : {"b", "a", "c", "a", "b", "a"}) array.Append(PL_strdup(w));
  array.SortUnique(StringVoidArrayComparator());
  ASSERT_EQ(3u, array.mCount);
  EXPECT_STREQ("a", static_cast<char*>(array.ItemAt(0)));
  EXPECT_STREQ("b", static_cast<char*>(array.ItemAt(1)));
  EXPECT_STREQ("c", static_cast<char*>(array.ItemAt(2)));

  // The first of each run of equals is the one kept.
  std::vector<long> destroyed;
  VoidArray* tens = Make({21, 12, 22, 11, 13, 30});
  tens->AdoptItemDestructor(new Recorder(&destroyed));
  tens->SortUnique(TensComparator());
  EXPECT_EQ((std::vector<long>{12, 21, 30}), Items(*tens));
  EXPECT_EQ((std::vector<long>{11, 13, 22}), destroyed);
  destroyed.clear();
  delete tens;
  EXPECT_EQ((std::vector<long>{12, 21, 30}), destroyed);  // the rest go at destruction
}

TEST(VoidArray, CopyRandomizeRemoveAll) {
  VoidArray* source = Make({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  VoidArray copy;
  copy.Append(P(99));
  EXPECT_EQ(PR_SUCCESS, copy.Copy(*source));
  EXPECT_EQ(Items(*source), Items(copy));
  EXPECT_EQ(PR_SUCCESS, copy.Copy(copy));
  EXPECT_EQ(10u, copy.mCount);

  // Shuffling keeps the same items; over several shuffles the order changes at least once.
  bool changed = false;
  for (int round = 0; round < 20 && !changed; ++round) {
    copy.Randomize();
    std::vector<long> items = Items(copy);
    changed = items != Items(*source);
    std::sort(items.begin(), items.end());
    ASSERT_EQ(Items(*source), items);
  }
  EXPECT_TRUE(changed);

  std::vector<long> destroyed;
  source->AdoptItemDestructor(new Recorder(&destroyed));
  source->RemoveItemAt(4);
  source->RemoveAll();  // null slots are skipped
  EXPECT_EQ(0u, source->mCount);
  EXPECT_EQ((std::vector<long>{1, 2, 3, 4, 6, 7, 8, 9, 10}), destroyed);
  delete source;
  EXPECT_EQ(9u, destroyed.size());
}

}  // namespace

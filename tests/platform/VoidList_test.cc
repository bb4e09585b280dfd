#include "VoidList.h"

#include <gtest/gtest.h>
#include <plstr.h>
#include <prmem.h>

#include <string>
#include <vector>

#include "AliasTarget.h"
#include "VoidItemDestructor.h"
#include "VoidQueue.h"

namespace {

void* P(long n) { return reinterpret_cast<void*>(n); }

std::vector<long> Items(VoidList& list) {
  std::vector<long> out;
  VoidListIterator it(list);
  for (it.First(); !it.IsDone(); it.Next()) out.push_back(reinterpret_cast<long>(it.CurrentItem()));
  return out;
}

// Records each destroyed item.
class RecordingDestructor : public VoidItemDestructor {
 public:
  explicit RecordingDestructor(std::vector<long>* destroyed) : mDestroyed(destroyed) {}
  void Destroy(void* item) override { mDestroyed->push_back(reinterpret_cast<long>(item)); }

 private:
  std::vector<long>* mDestroyed;
};

TEST(VoidList, AppendPrependRemoveEnds) {
  VoidList list;
  EXPECT_EQ(nullptr, list.RemoveHead());
  EXPECT_EQ(nullptr, list.RemoveTail());
  EXPECT_EQ(nullptr, list.GetHead());
  EXPECT_EQ(PR_SUCCESS, list.Append(P(2)));
  EXPECT_EQ(PR_SUCCESS, list.Append(P(3)));
  EXPECT_EQ(PR_SUCCESS, list.Prepend(P(1)));
  EXPECT_EQ(3, list.GetSize());
  EXPECT_EQ(P(1), list.GetHead());
  EXPECT_EQ(P(3), list.GetTail());
  EXPECT_EQ((std::vector<long>{1, 2, 3}), Items(list));
  EXPECT_EQ(P(3), list.RemoveTail());
  EXPECT_EQ(P(1), list.RemoveHead());
  EXPECT_EQ(P(2), list.RemoveHead());
  EXPECT_EQ(0, list.GetSize());
  EXPECT_EQ(nullptr, list.GetTail());
  // A list emptied from both ends links correctly again.
  list.Prepend(P(5));
  list.Append(P(6));
  EXPECT_EQ((std::vector<long>{5, 6}), Items(list));
}

TEST(VoidList, RemoveTakesFirstOccurrenceOnly) {
  VoidList list;
  for (long n : {1, 2, 1, 3}) list.Append(P(n));
  EXPECT_TRUE(list.Contains(P(3)));
  EXPECT_TRUE(list.Remove(P(1)));
  EXPECT_EQ((std::vector<long>{2, 1, 3}), Items(list));
  EXPECT_FALSE(list.Remove(P(9)));
  EXPECT_TRUE(list.Remove(P(3)));
  EXPECT_EQ(P(1), list.GetTail());
  EXPECT_FALSE(list.Contains(P(3)));
}

TEST(VoidList, ItemDestructorRunsAtRemoveAllAndDestruction) {
  std::vector<long> destroyed;
  {
    VoidList list;
    list.AdoptItemDestructor(new RecordingDestructor(&destroyed));
    list.Append(P(1));
    list.Append(P(2));
    EXPECT_EQ(P(1), list.RemoveHead());  // taken out: the caller's, not destroyed
    list.RemoveAll();
    EXPECT_EQ((std::vector<long>{2}), destroyed);
    EXPECT_EQ(0, list.GetSize());
    list.Append(P(7));
    list.Append(P(8));
    // Replacing the destructor deletes the old one (ASan would report a leak otherwise).
    list.AdoptItemDestructor(new RecordingDestructor(&destroyed));
  }
  EXPECT_EQ((std::vector<long>{2, 7, 8}), destroyed);

  // NSPR-heap strings go through FreeVoidItemDestructor; ASan reports any leak or mismatched free.
  VoidList strings;
  strings.AdoptItemDestructor(new FreeVoidItemDestructor);
  strings.Append(PL_strdup("one"));
  strings.Append(PR_Malloc(16));
  strings.Append(nullptr);
}

TEST(VoidListIterator, RemovalInsideLoop) {
  VoidList list;
  for (long n = 1; n <= 6; ++n) list.Append(P(n));
  VoidListIterator it(list);
  std::vector<long> seen;
  for (it.First(); !it.IsDone(); it.Next()) {
    long n = reinterpret_cast<long>(it.CurrentItem());
    seen.push_back(n);
    if (n % 2 == 1 || n == 6) {
      EXPECT_EQ(P(n), it.RemoveCurrentItem());
      EXPECT_EQ(nullptr, it.CurrentItem());
      EXPECT_EQ(nullptr, it.RemoveCurrentItem());  // nothing current after a removal
    }
  }
  EXPECT_EQ((std::vector<long>{1, 2, 3, 4, 5, 6}), seen);  // every item visited once
  EXPECT_EQ((std::vector<long>{2, 4}), Items(list));
  EXPECT_EQ(P(4), list.GetTail());  // the removed tail left the links consistent

  // Removing everything, including head and tail, empties the list.
  for (it.First(); !it.IsDone(); it.Next()) it.RemoveCurrentItem();
  EXPECT_EQ(0, list.GetSize());
  EXPECT_EQ(nullptr, list.GetHead());
  it.First();
  EXPECT_TRUE(it.IsDone());
  EXPECT_EQ(nullptr, it.CurrentItem());
}

TEST(VoidListIterator, ReplaceCurrentItem) {
  VoidList list;
  list.Append(P(1));
  list.Append(P(2));
  VoidListIterator it(list);
  it.First();
  it.Next();
  EXPECT_EQ(P(2), it.ReplaceCurrentItem(P(20)));
  EXPECT_EQ(P(20), it.CurrentItem());
  it.Next();
  EXPECT_TRUE(it.IsDone());
  EXPECT_EQ(nullptr, it.ReplaceCurrentItem(P(30)));
  EXPECT_EQ((std::vector<long>{1, 20}), Items(list));
}

TEST(VoidQueue, FifoAndShutdown) {
  std::vector<long> destroyed;
  {
    VoidQueue queue;
    queue.AdoptItemDestructor(new RecordingDestructor(&destroyed));
    for (long n : {1, 2, 3}) queue.Enqueue(P(n));
    EXPECT_EQ(P(1), queue.Dequeue());
    EXPECT_EQ(P(2), queue.Dequeue());
    queue.Shutdown();
    EXPECT_EQ(nullptr, queue.Dequeue());  // does not block once shut down
    EXPECT_EQ(PR_FAILURE, queue.Enqueue(P(4)));
    EXPECT_TRUE(destroyed.empty());
  }
  // Left in the queue: destroyed with it; 4 stayed the caller's.
  EXPECT_EQ((std::vector<long>{3}), destroyed);
}

TEST(AliasTarget, NullsEveryRegisteredPointer) {
  int dummy = 0;
  void* a = &dummy;
  void* b = &dummy;
  void* c = &dummy;
  {
    AliasTarget target;
    target.AddAlias(&a);
    target.AddAlias(&b);
    target.AddAlias(&b);  // registered twice
    target.AddAlias(&c);
    target.RemoveAlias(&c);
    target.RemoveAlias(&b);  // removes one of the two registrations
  }
  EXPECT_EQ(nullptr, a);
  EXPECT_EQ(nullptr, b);
  EXPECT_EQ(&dummy, c);
}

}  // namespace

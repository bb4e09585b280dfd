// The sorted index: a model test of random contact events against the cache and an index, and the
// index's own edge cases (ties, repeats, empty removal, re-sorting, inert calls).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "AddressBookTestSupport.h"

class AddressBookIndexTestPeer {
 public:
  explicit AddressBookIndexTestPeer(AddressBookIndex& index) : mIndex(index) {}
  void Add(Address* a) { mIndex.OnAddressAdded(a); }
  void Remove(Address* a) { mIndex.OnAddressRemoved(a); }
  void Change(Address* o, Address* n) { mIndex.OnAddressChanged(o, n); }
  void RemoveAll() { mIndex.OnRemoveAll(); }

 private:
  AddressBookIndex& mIndex;
};

namespace {

using zr::test::PumpUntil;

using AddressBookIndexTest = AddressBookFixture;

// Follows an index through its notifications alone: a list display's copy of the rows.
class ShadowListener : public AddressBookIndexListener {
 public:
  explicit ShadowListener(AddressBookIndex& index) : mIndex(index) {}
  void OnIndexReserved() override { mNotes.push_back("reserved"); }
  void OnItemsInserted(unsigned int i, unsigned int n) override {
    mNotes.push_back("+" + std::to_string(i) + "," + std::to_string(n));
    for (unsigned int k = 0; k < n; ++k) mRows.insert(mRows.begin() + i + k, mIndex.GetAddress(i + k));
  }
  void OnItemChanged(unsigned int i) override {
    mNotes.push_back("=" + std::to_string(i));
    mRows.at(i) = mIndex.GetAddress(i);
  }
  void OnItemsRemoved(unsigned int i, unsigned int n) override {
    mNotes.push_back("-" + std::to_string(i) + "," + std::to_string(n));
    mRows.erase(mRows.begin() + i, mRows.begin() + i + n);
  }
  void Release() override { delete this; }
  std::vector<Address*> mRows;
  Texts mNotes;

 private:
  AddressBookIndex& mIndex;
};

std::vector<Address*> Rows(AddressBookIndex& index) {
  std::vector<Address*> rows;
  for (unsigned int i = 0; i < index.GetSize(); ++i) rows.push_back(index.GetAddress(i));
  return rows;
}

int RowOf(AddressBookIndex& index, const Address* a) {
  std::vector<Address*> rows = Rows(index);
  auto at = std::find(rows.begin(), rows.end(), a);
  return at == rows.end() ? -1 : static_cast<int>(at - rows.begin());
}

TEST_F(AddressBookIndexTest, RandomContactEventsKeepTheCacheAndTheRowsInStepWithAModel) {
  ServeLoad({});
  BookRef book;
  AddressBookTestPeer peer(book);
  AddressBookIndex index(new NameComparator);
  ShadowListener* shadow = new ShadowListener(index);
  index.AddIndexListener(shadow);
  ASSERT_TRUE(PumpUntil([&] { return peer.Loaded(); }));

  struct Entry {
    std::string uid;  // empty: none
    std::string name;
  };
  std::vector<Entry> model;  // the cache as the rules make it
  std::mt19937 random(1234);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  auto uid = [&] { return pick(20) == 0 ? std::string() : "u" + std::to_string(pick(150)); };
  auto name = [&] { return "n" + std::to_string(pick(40)); };  // many ties
  auto first = [&](const std::string& u) -> int {
    if (u.empty()) return -1;
    for (size_t i = 0; i < model.size(); ++i)
      if (model[i].uid == u) return static_cast<int>(i);
    return -1;
  };
  NameComparator byName;

  for (int step = 0; step < 4000; ++step) {
    const int kind = pick(100);
    const std::string u = uid(), n = name();
    IPCMessage* event;
    Texts expectedKinds;
    int at = first(u);
    if (kind < 40 || model.size() < 5) {
      event = zr::test::NewMessage({{"zr_event", "contactAdded"}, {"newContact", Contact(u, n)}});
      model.push_back({u, n});
      expectedKinds = {"+"};
    } else if (kind < 75) {
      const std::string u2 = pick(10) == 0 ? uid() : u;
      event = zr::test::NewMessage({{"zr_event", "contactChanged"},
                                    {"oldContact", Contact(u, "old")},
                                    {"newContact", Contact(u2, n)}});
      if (at >= 0) {
        model[at] = {u2, n};
        expectedKinds = {"~"};
      }
    } else {
      event = zr::test::NewMessage({{"zr_event", "contactRemoved"}, {"oldContact", Contact(u, "old")}});
      if (at >= 0) {
        model.erase(model.begin() + at);
        expectedKinds = {"-"};
      }
    }
    const std::vector<Address*> before = Rows(index);
    shadow->mNotes.clear();
    peer.Deliver(event);
    IPC_DestroyMessage(event);

    // The cache follows the rules.
    Texts expectedCache;
    for (const Entry& e : model) expectedCache.push_back((e.uid.empty() ? "-" : e.uid) + "/" + e.name);
    ASSERT_EQ(expectedCache, peer.Cache()) << "step " << step;
    // The rows are the cache sorted by name, ties by place in memory.
    std::vector<Address*> sorted;
    for (unsigned int i = 0; i < model.size(); ++i) sorted.push_back(peer.CachedAt(i));
    std::sort(sorted.begin(), sorted.end(), [&](Address* a, Address* b) {
      const int r = byName.Compare(a, b);
      return r != 0 ? r < 0 : reinterpret_cast<uintptr_t>(a) < reinterpret_cast<uintptr_t>(b);
    });
    const std::vector<Address*> rows = Rows(index);
    ASSERT_EQ(sorted, rows) << "step " << step;
    // The notifications alone turn the old rows into the new ones, and are the ones the change calls for.
    ASSERT_EQ(rows, shadow->mRows) << "step " << step;
    const Texts& notes = shadow->mNotes;
    if (expectedKinds.empty()) {
      ASSERT_TRUE(notes.empty()) << "step " << step;
    } else if (expectedKinds[0] == "+") {
      ASSERT_EQ(Texts{"+" + std::to_string(RowOf(index, peer.CachedAt(model.size() - 1))) + ",1"}, notes);
    } else {
      // The row that went: the one old address no longer among the rows.
      int p = -1;
      for (size_t k = 0; k < before.size(); ++k)
        if (std::find(rows.begin(), rows.end(), before[k]) == rows.end()) p = static_cast<int>(k);
      ASSERT_GE(p, 0) << "step " << step;
      const std::string removed = "-" + std::to_string(p) + ",1";
      if (expectedKinds[0] == "-") {
        ASSERT_EQ(Texts{removed}, notes) << "step " << step;
      } else {
        const int q = RowOf(index, peer.CachedAt(at));
        if (p == q) {
          ASSERT_EQ(Texts{"=" + std::to_string(q)}, notes) << "step " << step;
        } else {
          ASSERT_EQ((Texts{removed, "+" + std::to_string(q) + ",1"}), notes) << "step " << step;
        }
      }
    }
  }
  EXPECT_GT(model.size(), 100u);
  index.ReleaseIndexListener(shadow);
}

TEST_F(AddressBookIndexTest, TiesRepeatsEmptyRemovalAndResortingBehaveAsListsExpect) {
  ServeLoad({Contact("u1", "Bob"), Contact("u2", "Bob"), Contact("u3", "Ann")});
  BookRef book;
  AddressBookTestPeer peer(book);
  AddressBookIndex index(new NameComparator);
  Record notes;
  CountingIndexListener* listener = Make<CountingIndexListener>(&notes);
  index.AddIndexListener(listener);
  ASSERT_TRUE(PumpUntil([&] { return notes->CallCount() > 0; }));
  AddressBookIndexTestPeer rows(index);

  // Equal names keep the order of their objects in memory, and both are found.
  Address* bob1 = peer.CachedAt(0);
  Address* bob2 = peer.CachedAt(1);
  ASSERT_EQ(3u, index.GetSize());
  EXPECT_EQ(std::less<Address*>()(bob1, bob2) ? bob1 : bob2, index.GetAddress(1));
  for (Address* bob : {bob1, bob2}) {
    const size_t calls = notes->Calls().size();
    const int row = RowOf(index, bob);
    rows.Remove(bob);
    EXPECT_EQ("OnItemsRemoved(" + std::to_string(row) + ",1)", notes->Calls().back());
    rows.Add(bob);
    rows.Add(bob);  // the same object twice: one row, one notification
    EXPECT_EQ(calls + 2, notes->Calls().size());
    EXPECT_EQ(3u, index.GetSize());
  }
  // A change of an address that is not a row inserts nothing.
  Address stranger("x@y", "Zoe");
  rows.Change(&stranger, bob1);
  EXPECT_EQ(3u, index.GetSize());

  // Inert calls leave every row in place; a new comparator re-sorts silently.
  const std::vector<Address*> before = Rows(index);
  const int calls = notes->CallCount();
  index.SetCategory("friends");
  index.SetCategory(nullptr);
  index.QuickSearch("B");
  EXPECT_EQ(before, Rows(index));
  struct Reverse : NameComparator {
    int Compare(const Address* a, const Address* b) const override { return NameComparator::Compare(b, a); }
  };
  index.AdoptComparator(new Reverse);
  EXPECT_EQ("u3/Ann", Describe(index.GetAddress(2)));
  EXPECT_EQ(calls, notes->CallCount());

  // Removing all tells the listeners while the rows are still there, even when there are none.
  rows.RemoveAll();
  rows.RemoveAll();
  EXPECT_EQ((Texts{"OnItemsRemoved(0,3)", "OnItemsRemoved(0,0)"}), Tail(notes, notes->Calls().size() - 2));
  index.ReleaseIndexListener(listener);
  index.ReleaseIndexListener(listener);  // no longer registered: nothing
  EXPECT_TRUE(zr::test::ReleasedOnceOnUIThread(*notes));
}

}  // namespace

#include "AddressBookIndex.h"

#include <plstr.h>

#include <cassert>
#include <cstdint>
#include <vector>

#include "AddressBookInternal.h"
#include "UILoop.h"
#include "VoidArrayComparator.h"

template class List<AddressBookIndex*>;

using zr_addressbook::CallGuard;

namespace zr_addressbook {

// The index's registration with the address book: every contact change becomes a row change.
class IndexContactListener : public AddressBookContactListener {
 public:
  explicit IndexContactListener(AddressBookIndex* index) : mIndex(index) {}
  void OnContactsInit() override {}
  void OnContactAdded(Address* a) override { mIndex->OnAddressAdded(a); }
  void OnContactRemoved(Address* a) override { mIndex->OnAddressRemoved(a); }
  void OnContactChanged(Address* o, Address* n) override { mIndex->OnAddressChanged(o, n); }
  void OnAllContactsRemoved() override { mIndex->OnRemoveAll(); }
  void Release() override { delete this; }

 private:
  AddressBookIndex* mIndex;
};

// The application's order made total: contacts it rates equal go by their place in memory, so that the
// search by halving finds every row.
class IndexComparator : public VoidArrayComparator {
 public:
  ~IndexComparator() override { delete mComparator; }
  void Adopt(AddressComparator* cmp) {
    delete mComparator;
    mComparator = cmp;
  }
  int Compare(const void* a, const void* b) const override {
    if (a == b) return 0;
    const int r = mComparator
                      ? mComparator->Compare(static_cast<const Address*>(a), static_cast<const Address*>(b))
                      : 0;
    if (r != 0) return r;
    return reinterpret_cast<uintptr_t>(a) < reinterpret_cast<uintptr_t>(b) ? -1 : 1;
  }

 private:
  AddressComparator* mComparator = nullptr;
};

}  // namespace zr_addressbook

namespace {
inline void AssertUIThread() { assert(zr::UILoop::IsUIThread()); }
}  // namespace

AddressComparator::~AddressComparator() {}

AddressBookIndex::AddressBookIndex(AddressComparator* cmp)
    : mContactListener(nullptr), mComparator(nullptr), mCategory(nullptr), mCallGuards(nullptr) {
  AssertUIThread();
  AdoptComparator(cmp);
  mBook->AddIndex(this);
  mContactListener = new zr_addressbook::IndexContactListener(this);
  mBook->AddAddressBookContactListener(mContactListener);
}

AddressBookIndex::~AddressBookIndex() {
  AssertUIThread();
  CallGuard::OwnerGone(mCallGuards);
  mBook->ReleaseAddressBookContactListener(mContactListener);
  mContactListener = nullptr;
  mBook->RemoveIndex(this);
  PL_strfree(mCategory);
  mCategory = nullptr;
  mListeners.RemoveAll();  // no item destructor: listeners still registered are left alone
  mRows.RemoveAll();
  delete mComparator;
  mComparator = nullptr;
}

unsigned int AddressBookIndex::GetSize() { return mRows.GetSize(); }

Address* AddressBookIndex::GetAddress(unsigned int i) { return static_cast<Address*>(mRows.ItemAt(i)); }

void AddressBookIndex::AdoptComparator(AddressComparator* cmp) {
  if (!mComparator) mComparator = new zr_addressbook::IndexComparator;
  mComparator->Adopt(cmp);
  mRows.Sort(*mComparator);
}

void AddressBookIndex::SetCategory(const char* name) {
  PL_strfree(mCategory);
  mCategory = name ? PL_strdup(name) : nullptr;
}

void AddressBookIndex::QuickSearch(const char*) {}

void AddressBookIndex::AddIndexListener(AddressBookIndexListener* l) {
  AssertUIThread();
  if (l) mListeners.Append(l);
}

void AddressBookIndex::ReleaseIndexListener(AddressBookIndexListener* l) {
  AssertUIThread();
  if (l && mListeners.Remove(l)) l->Release();
}

template <typename Call>
void AddressBookIndex::TellListeners(Call call) {
  void* few[8];
  std::vector<void*> many;
  void** snapshot = few;
  const int count = mListeners.GetSize();
  if (count > 8) {
    many.resize(count);
    snapshot = many.data();
  }
  {
    int i = 0;
    VoidListIterator it(mListeners);
    for (it.First(); !it.IsDone(); it.Next()) snapshot[i++] = it.CurrentItem();
  }
  // A listener may release listeners, add new ones (they hear the next change) or destroy the index.
  CallGuard guard(mCallGuards);
  for (int i = 0; i < count && !guard.Gone(); ++i) {
    if (mListeners.Contains(snapshot[i])) call(static_cast<AddressBookIndexListener*>(snapshot[i]));
  }
}

bool AddressBookIndex::FindAddrIndex(Address* a, unsigned int& index) {
  return mRows.FindIndex(a, *mComparator, index);
}

void AddressBookIndex::OnInit(Array<Address*>& all) {
  mRows.Copy(all.GetVoidArray());
  mRows.Sort(*mComparator);
  const unsigned int count = mRows.GetSize();
  TellListeners([count](AddressBookIndexListener* l) { l->OnItemsInserted(0, count); });
}

void AddressBookIndex::OnAddressAdded(Address* a) {
  unsigned int i;
  if (FindAddrIndex(a, i)) return;
  if (mRows.Insert(i, 1) != PR_SUCCESS) return;
  mRows.SetItemAt(i, a);
  TellListeners([i](AddressBookIndexListener* l) { l->OnItemsInserted(i, 1); });
}

void AddressBookIndex::OnAddressRemoved(Address* a) {
  unsigned int i;
  if (!FindAddrIndex(a, i)) return;
  mRows.Remove(i, 1);
  TellListeners([i](AddressBookIndexListener* l) { l->OnItemsRemoved(i, 1); });
}

void AddressBookIndex::OnAddressChanged(Address* o, Address* n) {
  unsigned int p;
  if (!FindAddrIndex(o, p)) return;
  // Most changes leave the contact between the same neighbours: then it keeps its row, and nothing moves.
  const unsigned int last = mRows.GetSize() - 1;
  unsigned int q;
  if ((p == 0 || mComparator->Compare(mRows.ItemAt(p - 1), n) < 0) &&
      (p == last || mComparator->Compare(n, mRows.ItemAt(p + 1)) < 0)) {
    q = p;
    mRows.SetItemAt(p, n);
  } else {
    // Its new row among the others: search with the old contact still in place (it is just another row
    // to the order), then one move shifts only the rows between the old place and the new.
    FindAddrIndex(n, q);
    if (q > p) --q;
    mRows.SetItemAt(p, n);
    mRows.Move(p, q);
  }
  TellListeners([p, q](AddressBookIndexListener* l) {
    if (p == q) {
      l->OnItemChanged(q);
    } else {
      l->OnItemsRemoved(p, 1);
      l->OnItemsInserted(q, 1);
    }
  });
}

void AddressBookIndex::OnRemoveAll() {
  const unsigned int count = mRows.GetSize();
  // Listeners hear of the removal while the rows are still there to read.
  CallGuard guard(mCallGuards);
  TellListeners([count](AddressBookIndexListener* l) { l->OnItemsRemoved(0, count); });
  if (!guard.Gone()) mRows.RemoveAll();
}

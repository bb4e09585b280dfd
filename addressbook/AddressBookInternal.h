// Private helpers of the address book and its indexes (not installed).
#ifndef ZRAPPAPI_ADDRESSBOOKINTERNAL_H
#define ZRAPPAPI_ADDRESSBOOKINTERNAL_H

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class Address;

namespace zr_addressbook {

// Marks a call into application code on an object that the call may destroy. Guards nest on the stack,
// newest first in the owner's list; the owner's destructor calls OwnerGone so that every guard still
// open reads Gone() and the code after the call touches nothing of the owner.
class CallGuard {
 public:
  explicit CallGuard(CallGuard*& head) : mHead(&head), mNext(head) { head = this; }
  ~CallGuard() {
    if (!mGone) *mHead = mNext;
  }
  bool Gone() const { return mGone; }
  static void OwnerGone(CallGuard* head) {
    for (CallGuard* g = head; g; g = g->mNext) g->mGone = true;
  }

 private:
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;
  CallGuard** mHead;
  CallGuard* mNext;
  bool mGone = false;
};

// Finds a contact of the cache by uid without walking the cache. Every cache slot has a sequence number,
// strictly increasing along the cache (slots keep theirs when their contact is replaced), held in a
// vector parallel to the cache; each uid maps to the numbers of its slots in cache order, so the first
// one is the first match and its position is a search by halving. Contacts without a uid are never found.
class ContactUids {
 public:
  void Clear();
  void Reserve(size_t count) { mSeqs.reserve(count); }
  // The cache appended a. O(1).
  void Append(const Address* a);
  // Position of the first cached contact with this uid, or -1. O(log n).
  int Find(const char* uid) const;
  // The cache closed slot pos, which held a. O(n) for the vector, like the cache's own move.
  void Remove(unsigned int pos, const Address* a);
  // Slot pos now holds n in place of o. O(1) unless the uid changes.
  void Replace(unsigned int pos, const Address* o, const Address* n);
  size_t Size() const { return mSeqs.size(); }

 private:
  using Seqs = std::vector<uint64_t>;
  void Forget(const char* uid, uint64_t seq);
  void Remember(const char* uid, uint64_t seq);

  Seqs mSeqs;
  std::unordered_map<std::string, Seqs> mByUid;
  uint64_t mNextSeq = 0;
};

}  // namespace zr_addressbook

#endif

// Private helpers of the address book and its indexes (not installed).
#ifndef ZRAPPAPI_ADDRESSBOOKINTERNAL_H
#define ZRAPPAPI_ADDRESSBOOKINTERNAL_H

#include <cstdint>
#include <vector>

#include "List.h"

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
// strictly increasing along the cache (a slot keeps its number when its contact is replaced), held in a
// vector parallel to the cache, so a number's position is a search by halving. An open-addressing table
// (linear probing) holds one entry per cached contact with a uid: the number and the uid's hash. The
// uids themselves are not copied: an entry whose hash matches is checked against its contact's uid in
// the cache. The first match is the entry with the smallest number. Contacts without a uid are never
// found. About 40 bytes per contact.
class ContactUids {
 public:
  void Clear();
  // The cache appended a. O(1) amortised.
  void Append(const Address* a);
  // Position in cache of the first contact with this uid, or -1. O(log n).
  int Find(const char* uid, const Array<Address*>& cache) const;
  // The cache closed slot pos, which held a. O(n) for the vector, like the cache's own move.
  void Remove(unsigned int pos, const Address* a);
  // Slot pos now holds n in place of o. O(1).
  void Replace(unsigned int pos, const Address* o, const Address* n);
  size_t Size() const { return mSeqs.size(); }

 private:
  struct Entry {
    uint64_t seq;
    uint32_t hash;
    uint32_t state;  // kEmpty, kUsed, kGone
  };
  enum : uint32_t { kEmpty = 0, kUsed = 1, kGone = 2 };
  static uint32_t Hash(const char* uid);
  void Insert(uint32_t hash, uint64_t seq);
  void Erase(const char* uid, uint64_t seq);
  void Grow();

  std::vector<uint64_t> mSeqs;
  std::vector<Entry> mTable;  // size 0 or a power of two
  size_t mUsed = 0;
  size_t mGone = 0;
  uint64_t mNextSeq = 0;
};

}  // namespace zr_addressbook

#endif

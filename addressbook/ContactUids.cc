#include <algorithm>
#include <cstring>

#include "Address.h"
#include "AddressBookInternal.h"

namespace zr_addressbook {

uint32_t ContactUids::Hash(const char* uid) {
  // FNV-1a, folded to 32 bits.
  uint64_t h = 14695981039346656037ull;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(uid); *p; ++p) {
    h ^= *p;
    h *= 1099511628211ull;
  }
  return static_cast<uint32_t>(h ^ (h >> 32));
}

void ContactUids::Clear() {
  std::vector<uint64_t>().swap(mSeqs);
  std::vector<Entry>().swap(mTable);
  mUsed = mGone = 0;
  mNextSeq = 0;
}

void ContactUids::Grow() {
  // Live entries at most half the table afterwards; entries left by removals go.
  size_t size = 16;
  while (size < mUsed * 2 + 2) size *= 2;
  if (size < mTable.size() && (mUsed + 1) * 4 > size) size = mTable.size();
  std::vector<Entry> old;
  old.swap(mTable);
  mTable.assign(size, Entry{0, 0, kEmpty});
  mUsed = mGone = 0;
  for (const Entry& e : old)
    if (e.state == kUsed) Insert(e.hash, e.seq);
}

void ContactUids::Insert(uint32_t hash, uint64_t seq) {
  if ((mUsed + mGone + 1) * 4 > mTable.size() * 3) Grow();
  const size_t mask = mTable.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    Entry& e = mTable[i];
    if (e.state == kUsed) continue;
    if (e.state == kGone) --mGone;
    e = Entry{seq, hash, kUsed};
    ++mUsed;
    return;
  }
}

void ContactUids::Erase(const char* uid, uint64_t seq) {
  if (!uid || mTable.empty()) return;
  const size_t mask = mTable.size() - 1;
  for (size_t i = Hash(uid) & mask; mTable[i].state != kEmpty; i = (i + 1) & mask) {
    Entry& e = mTable[i];
    if (e.state == kUsed && e.seq == seq) {
      e.state = kGone;
      --mUsed;
      ++mGone;
      return;
    }
  }
}

void ContactUids::Append(const Address* a) {
  const uint64_t seq = mNextSeq++;
  mSeqs.push_back(seq);
  if (a->GetUID()) Insert(Hash(a->GetUID()), seq);
}

int ContactUids::Find(const char* uid, const Array<Address*>& cache) const {
  if (!uid || mTable.empty()) return -1;
  const uint32_t hash = Hash(uid);
  const size_t mask = mTable.size() - 1;
  bool found = false;
  uint64_t first = 0;
  // Every entry of this uid lies in the run of entries from its home slot to the next empty slot.
  for (size_t i = hash & mask; mTable[i].state != kEmpty; i = (i + 1) & mask) {
    const Entry& e = mTable[i];
    if (e.state != kUsed || e.hash != hash || (found && e.seq > first)) continue;
    const size_t pos = std::lower_bound(mSeqs.begin(), mSeqs.end(), e.seq) - mSeqs.begin();
    const Address* a = cache.ItemAt(static_cast<unsigned int>(pos));
    if (a && a->GetUID() && strcmp(a->GetUID(), uid) == 0) {
      found = true;
      first = e.seq;
    }
  }
  if (!found) return -1;
  return static_cast<int>(std::lower_bound(mSeqs.begin(), mSeqs.end(), first) - mSeqs.begin());
}

void ContactUids::Remove(unsigned int pos, const Address* a) {
  const uint64_t seq = mSeqs[pos];
  mSeqs.erase(mSeqs.begin() + pos);
  Erase(a->GetUID(), seq);
}

void ContactUids::Replace(unsigned int pos, const Address* o, const Address* n) {
  const uint64_t seq = mSeqs[pos];
  Erase(o->GetUID(), seq);
  if (n->GetUID()) Insert(Hash(n->GetUID()), seq);
}

}  // namespace zr_addressbook

#include <algorithm>
#include <cstring>

#include "Address.h"
#include "AddressBookInternal.h"

namespace zr_addressbook {

void ContactUids::Clear() {
  Seqs().swap(mSeqs);
  mByUid.clear();
  mNextSeq = 0;
}

void ContactUids::Append(const Address* a) {
  const uint64_t seq = mNextSeq++;
  mSeqs.push_back(seq);
  if (a->GetUID()) mByUid[a->GetUID()].push_back(seq);  // the largest number so far: last in order
}

int ContactUids::Find(const char* uid) const {
  if (!uid) return -1;
  auto found = mByUid.find(uid);
  if (found == mByUid.end()) return -1;
  auto pos = std::lower_bound(mSeqs.begin(), mSeqs.end(), found->second.front());
  return static_cast<int>(pos - mSeqs.begin());
}

void ContactUids::Remove(unsigned int pos, const Address* a) {
  const uint64_t seq = mSeqs[pos];
  mSeqs.erase(mSeqs.begin() + pos);
  Forget(a->GetUID(), seq);
}

void ContactUids::Replace(unsigned int pos, const Address* o, const Address* n) {
  const char* before = o->GetUID();
  const char* after = n->GetUID();
  if (before == after || (before && after && strcmp(before, after) == 0)) return;
  Forget(before, mSeqs[pos]);
  Remember(after, mSeqs[pos]);
}

void ContactUids::Forget(const char* uid, uint64_t seq) {
  if (!uid) return;
  auto found = mByUid.find(uid);
  if (found == mByUid.end()) return;
  Seqs& seqs = found->second;
  auto at = std::lower_bound(seqs.begin(), seqs.end(), seq);
  if (at != seqs.end() && *at == seq) seqs.erase(at);
  if (seqs.empty()) mByUid.erase(found);
}

void ContactUids::Remember(const char* uid, uint64_t seq) {
  if (!uid) return;
  Seqs& seqs = mByUid[uid];
  seqs.insert(std::lower_bound(seqs.begin(), seqs.end(), seq), seq);
}

}  // namespace zr_addressbook

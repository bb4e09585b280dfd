#include "DirectorySearch.h"

#include <plstr.h>
#include <prmem.h>
#include <prprf.h>

#include "VoidItemDestructor.h"

template class List<DirectorySearch*>;

namespace {

constexpr int kFilterBufferSize = 2048;

char* CopyString(const char* s) { return s ? PL_strdup(s) : nullptr; }

// Terms are owned by the combined search and deleted through their virtual destructor.
class TermDestructor : public VoidItemDestructor {
 public:
  void Destroy(void* item) override { delete static_cast<DirectorySearch*>(item); }
};

char OperatorChar(ComplexDirectorySearch::Operator op) {
  switch (op) {
    case ComplexDirectorySearch::And:
      return '&';
    case ComplexDirectorySearch::Or:
      return '|';
    case ComplexDirectorySearch::Not:
      return '!';
  }
  return '&';
}

// Appends text to buffer (holding length characters), never beyond kFilterBufferSize - 1 characters.
void AppendBounded(char* buffer, int& length, const char* text) {
  while (text && *text && length < kFilterBufferSize - 1) buffer[length++] = *text++;
  buffer[length] = '\0';
}

}  // namespace

DirectorySearch::DirectorySearch(const char* attr, const char* value)
    : mWalkPosition(0), mAttr(CopyString(attr)), mValue(CopyString(value)), mExactMatch(false) {}

DirectorySearch::DirectorySearch(const DirectorySearch& other)
    : mWalkPosition(0),
      mAttr(CopyString(other.mAttr)),
      mValue(CopyString(other.mValue)),
      mExactMatch(other.mExactMatch) {}

DirectorySearch& DirectorySearch::operator=(const DirectorySearch& other) {
  if (this == &other) return *this;
  PR_Free(mAttr);
  PR_Free(mValue);
  mAttr = CopyString(other.mAttr);
  mValue = CopyString(other.mValue);
  mExactMatch = other.mExactMatch;
  return *this;
}

DirectorySearch::~DirectorySearch() {
  PR_Free(mAttr);
  PR_Free(mValue);
}

DirectorySearch* DirectorySearch::Clone() { return new DirectorySearch(*this); }

char* DirectorySearch::CreateFilter() {
  if (!mAttr || !*mAttr) return PL_strdup("");
  const char* value = mValue ? mValue : "";
  return mExactMatch ? PR_smprintf("(%s=%s)", mAttr, value) : PR_smprintf("(%s=%s*)", mAttr, value);
}

const char* DirectorySearch::GetAttr() { return mAttr; }
const char* DirectorySearch::GetValue() { return mValue; }
void DirectorySearch::First() { mWalkPosition = 0; }
void DirectorySearch::Next() { ++mWalkPosition; }
bool DirectorySearch::IsDone() { return mWalkPosition != 0; }
void DirectorySearch::SetExactMatch(bool exact) { mExactMatch = exact; }

ComplexDirectorySearch::ComplexDirectorySearch(Operator op, List<DirectorySearch*>& terms)
    : DirectorySearch("", ""), mOp(op), mWalk(nullptr), mCachedFilter(nullptr), mWalkDone(false) {
  mTerms.AdoptItemDestructor(new TermDestructor);
  ListIterator<DirectorySearch*> it(terms);
  for (it.First(); !it.IsDone(); it.Next()) mTerms.Append(it.CurrentItem()->Clone());
}

ComplexDirectorySearch::ComplexDirectorySearch(const ComplexDirectorySearch& other)
    : DirectorySearch(other),
      mOp(other.mOp),
      mWalk(nullptr),
      mCachedFilter(CopyString(other.mCachedFilter)),
      mWalkDone(false) {
  mTerms.AdoptItemDestructor(new TermDestructor);
  // The source's list is only read; the iterator needs a non-const list.
  ListIterator<DirectorySearch*> it(const_cast<List<DirectorySearch*>&>(other.mTerms));
  for (it.First(); !it.IsDone(); it.Next()) mTerms.Append(it.CurrentItem()->Clone());
}

DirectorySearch* ComplexDirectorySearch::Clone() { return new ComplexDirectorySearch(*this); }

ComplexDirectorySearch::~ComplexDirectorySearch() {
  EndWalk();
  ClearCache();
  mTerms.RemoveAll();
}

char* ComplexDirectorySearch::CreateFilter() {
  if (mCachedFilter) return PL_strdup(mCachedFilter);
  if (mTerms.GetSize() == 0) return PL_strdup("");

  char buffer[kFilterBufferSize];
  int length = 0;
  buffer[0] = '\0';
  const char opText[2] = {OperatorChar(mOp), '\0'};
  AppendBounded(buffer, length, "(");
  AppendBounded(buffer, length, opText);
  ListIterator<DirectorySearch*> it(mTerms);
  for (it.First(); !it.IsDone(); it.Next()) {
    char* term = it.CurrentItem()->CreateFilter();
    AppendBounded(buffer, length, term);
    PR_smprintf_free(term);
  }
  AppendBounded(buffer, length, ")");
  mCachedFilter = PL_strdup(buffer);
  return PL_strdup(buffer);
}

const char* ComplexDirectorySearch::GetAttr() { return mWalk ? mWalk->CurrentItem()->GetAttr() : nullptr; }

const char* ComplexDirectorySearch::GetValue() {
  if (!mWalk) return nullptr;
  const char* value = mWalk->CurrentItem()->GetValue();
  if (value && *value == '*') ++value;
  return value;
}

void ComplexDirectorySearch::First() {
  EndWalk();
  mWalkDone = false;
  mWalk = new ListIterator<DirectorySearch*>(mTerms);
  mWalk->First();
}

void ComplexDirectorySearch::Next() {
  if (mWalk) mWalk->Next();
}

bool ComplexDirectorySearch::IsDone() {
  if (mWalkDone) return true;
  if (mWalk && !mWalk->IsDone()) return false;
  mWalkDone = true;
  EndWalk();
  return true;
}

void ComplexDirectorySearch::Add(DirectorySearch& term) {
  ClearCache();
  mTerms.Append(term.Clone());
}

bool ComplexDirectorySearch::Remove(DirectorySearch&) { return false; }

void ComplexDirectorySearch::ClearCache() {
  PR_Free(mCachedFilter);
  mCachedFilter = nullptr;
}

void ComplexDirectorySearch::EndWalk() {
  delete mWalk;
  mWalk = nullptr;
}

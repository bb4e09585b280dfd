// Descriptions of directory searches that turn themselves into LDAP filter texts.
//
// DirectorySearch is one term: an attribute compared with a value, as a prefix match (the default) or
// exactly. ComplexDirectorySearch joins several terms under one operator; its terms are clones it owns,
// so the caller keeps (and later deletes) the terms it passed in. Both can be walked term by term, so
// that code matching entries locally can read each term's attribute and value.
//
// CreateFilter returns a new string on the NSPR heap that the caller frees (PR_smprintf_free). Values are
// inserted unescaped: '*', '(', ')' and '\' keep their filter meaning.
//
// Search objects are not locked: one thread at a time. A directory server reads a search object only on
// the calling thread, while queuing the search.
#ifndef ZRAPPAPI_DIRECTORYSEARCH_H
#define ZRAPPAPI_DIRECTORYSEARCH_H

#include "List.h"
#include "ZrAppApiExport.h"

class ZRAPPAPI_EXPORT DirectorySearch {
 public:
  DirectorySearch(const char* attr, const char* value);
  DirectorySearch(const DirectorySearch& other);
  DirectorySearch& operator=(const DirectorySearch& other);

  virtual DirectorySearch* Clone();
  virtual ~DirectorySearch();
  // "(attr=value*)", or "(attr=value)" for an exact match; empty when attr is null or empty.
  virtual char* CreateFilter();
  virtual const char* GetAttr();
  virtual const char* GetValue();
  // A single term is walked in one step that presents the search itself.
  virtual void First();
  virtual void Next();
  virtual bool IsDone();

  void SetExactMatch(bool exact);

 protected:
  int mWalkPosition;

 private:
  char* mAttr;
  char* mValue;
  bool mExactMatch;
};

class ZRAPPAPI_EXPORT ComplexDirectorySearch : public DirectorySearch {
 public:
  enum Operator { And = 0, Or = 1, Not = 2 };

  // Appends a clone of every term of terms, in order; the caller keeps its own terms.
  ComplexDirectorySearch(Operator op, List<DirectorySearch*>& terms);
  ComplexDirectorySearch(const ComplexDirectorySearch& other);

  DirectorySearch* Clone() override;
  ~ComplexDirectorySearch() override;
  // "(" operator terms... ")", at most 2047 characters; remembered until the next Add. Empty without
  // terms.
  char* CreateFilter() override;
  // The current term's attribute and value (one leading '*' of the value skipped); valid between First()
  // and the point where IsDone() answers true.
  const char* GetAttr() override;
  const char* GetValue() override;
  void First() override;
  void Next() override;
  bool IsDone() override;
  virtual void Add(DirectorySearch& term);
  virtual bool Remove(DirectorySearch& term);  // removes nothing; answers false

 private:
  ComplexDirectorySearch& operator=(const ComplexDirectorySearch&) = delete;
  void ClearCache();
  void EndWalk();

  Operator mOp;
  List<DirectorySearch*> mTerms;
  ListIterator<DirectorySearch*>* mWalk;
  char* mCachedFilter;
  bool mWalkDone;
};

#endif

// Filter texts of single and combined searches, the combined search's cache and clone rules, and walks.
#include "DirectorySearch.h"

#include <gtest/gtest.h>
#include <prprf.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string FilterOf(DirectorySearch& search) {
  char* filter = search.CreateFilter();
  std::string text = filter ? filter : "<null>";
  PR_smprintf_free(filter);
  return text;
}

// The caller's list of terms; the combined search clones them.
struct Terms : List<DirectorySearch*> {
  Terms(std::initializer_list<DirectorySearch*> terms) {
    for (DirectorySearch* term : terms) Append(term);
  }
};

// A term whose filter changes every time it is built, to show when a combined search builds again.
class ChangingTerm : public DirectorySearch {
 public:
  explicit ChangingTerm(int* builds) : DirectorySearch("uid", "x"), mBuilds(builds) {}
  DirectorySearch* Clone() override { return new ChangingTerm(mBuilds); }
  char* CreateFilter() override { return PR_smprintf("(uid=%d)", ++*mBuilds); }

 private:
  int* mBuilds;
};

TEST(DirectorySearchTest, SingleTermFilters) {
  DirectorySearch search("cn", "jo");
  EXPECT_EQ(FilterOf(search), "(cn=jo*)");
  search.SetExactMatch(true);
  EXPECT_EQ(FilterOf(search), "(cn=jo)");

  // Copies own their strings (a shared one would be freed twice).
  DirectorySearch copy(search);
  DirectorySearch assigned("mail", "x");
  assigned = search;
  assigned = static_cast<DirectorySearch&>(assigned);
  std::unique_ptr<DirectorySearch> clone(search.Clone());
  for (DirectorySearch* s : {&copy, &assigned, clone.get()}) EXPECT_EQ(FilterOf(*s), "(cn=jo)");

  DirectorySearch empty("", "anything");
  DirectorySearch null(nullptr, "anything");
  EXPECT_EQ(FilterOf(empty), "");
  EXPECT_EQ(FilterOf(null), "");

  // Values go in as they are, with their filter meaning.
  DirectorySearch raw("cn", "a*b)(c\\");
  EXPECT_EQ(FilterOf(raw), "(cn=a*b)(c\\*)");
}

TEST(DirectorySearchTest, CombinedFiltersNestAndKeepTheCallersTerms) {
  DirectorySearch cn("cn", "jo"), mail("mail", "jo");
  Terms cnMail{&cn, &mail};
  ComplexDirectorySearch either(ComplexDirectorySearch::Or, cnMail);
  EXPECT_EQ(FilterOf(either), "(|(cn=jo*)(mail=jo*))");
  EXPECT_EQ(FilterOf(either), "(|(cn=jo*)(mail=jo*))");
  // The combined search holds clones: changing the caller's term changes nothing.
  cn.SetExactMatch(true);
  either.Add(mail);
  EXPECT_EQ(FilterOf(either), "(|(cn=jo*)(mail=jo*)(mail=jo*))");

  Terms none{};
  ComplexDirectorySearch empty(ComplexDirectorySearch::And, none);
  EXPECT_EQ(FilterOf(empty), "");

  DirectorySearch cnOnly("cn", "jo");
  Terms one{&cnOnly};
  ComplexDirectorySearch all(ComplexDirectorySearch::And, one);
  EXPECT_EQ(FilterOf(all), "(&(cn=jo*))");

  DirectorySearch a("cn", "a"), b("cn", "b");
  Terms ab{&a, &b};
  ComplexDirectorySearch neither(ComplexDirectorySearch::Not, ab);
  EXPECT_EQ(FilterOf(neither), "(!(cn=a*)(cn=b*))");

  Terms nested{&all, &neither};
  ComplexDirectorySearch outer(ComplexDirectorySearch::Or, nested);
  EXPECT_EQ(FilterOf(outer), "(|(&(cn=jo*))(!(cn=a*)(cn=b*)))");
  EXPECT_FALSE(outer.Remove(a));
  EXPECT_FALSE(outer.Remove(all));
  EXPECT_EQ(FilterOf(outer), "(|(&(cn=jo*))(!(cn=a*)(cn=b*)))");
}

TEST(DirectorySearchTest, CacheIsDroppedOnlyByAddAndTravelsWithClones) {
  int builds = 0;
  ChangingTerm term(&builds);
  Terms terms{&term};
  ComplexDirectorySearch search(ComplexDirectorySearch::And, terms);

  std::unique_ptr<DirectorySearch> uncachedClone(search.Clone());
  EXPECT_EQ(FilterOf(search), "(&(uid=1))");
  EXPECT_EQ(FilterOf(search), "(&(uid=1))");  // from the cache: the term was not asked again
  std::unique_ptr<DirectorySearch> cachedClone(search.Clone());
  EXPECT_EQ(FilterOf(*cachedClone), "(&(uid=1))");    // the source's cache came along
  EXPECT_EQ(FilterOf(*uncachedClone), "(&(uid=2))");  // cloned before the first build: builds its own

  DirectorySearch extra("cn", "z");
  search.Add(extra);
  EXPECT_EQ(FilterOf(search), "(&(uid=3)(cn=z*))");
  ComplexDirectorySearch copy(search);
  EXPECT_EQ(FilterOf(copy), "(&(uid=3)(cn=z*))");
  EXPECT_EQ(builds, 3);
}

TEST(DirectorySearchTest, LongCombinationsAreCutAt2047Characters) {
  std::string value(300, 'v');
  DirectorySearch term("description", value.c_str());
  Terms terms{&term, &term, &term, &term, &term, &term, &term, &term, &term, &term};
  ComplexDirectorySearch search(ComplexDirectorySearch::Or, terms);
  const std::string filter = FilterOf(search);
  ASSERT_EQ(filter.size(), 2047u);
  EXPECT_EQ(filter.substr(0, 16), "(|(description=v");
  EXPECT_EQ(FilterOf(search), filter);
}

// "attr=value" for each term of a walk.
std::vector<std::string> Walk(DirectorySearch& search) {
  std::vector<std::string> terms;
  for (search.First(); !search.IsDone(); search.Next())
    terms.push_back(std::string(search.GetAttr()) + "=" + search.GetValue());
  return terms;
}

TEST(DirectorySearchTest, WalksVisitEveryTermOnce) {
  DirectorySearch single("cn", "jo");
  EXPECT_EQ(Walk(single), std::vector<std::string>{"cn=jo"});

  DirectorySearch cn("cn", "*jo"), mail("mail", "ann");
  Terms terms{&cn, &mail};
  ComplexDirectorySearch search(ComplexDirectorySearch::Or, terms);
  EXPECT_EQ(Walk(search), (std::vector<std::string>{"cn=jo", "mail=ann"}));  // one leading '*' is skipped
  EXPECT_TRUE(search.IsDone());
  // A new walk starts over, and a walk abandoned half-way is ended by the destructor.
  EXPECT_EQ(Walk(search).size(), 2u);
  search.First();
  EXPECT_STREQ(search.GetAttr(), "cn");
  std::unique_ptr<DirectorySearch> clone(search.Clone());
  clone->First();
  EXPECT_STREQ(clone->GetValue(), "jo");
}

}  // namespace

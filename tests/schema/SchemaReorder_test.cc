// Per-language reordering of tabs and boxes through "reorderAbookAttr" and "reorderAbookBoxAttr" in real
// catalogues, and ReorderSchemaList on its own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SchemaLoader.h"
#include "SchemaRegistry.h"
#include "SchemaTestSupport.h"

namespace zr {
namespace test {
namespace {

typedef std::vector<std::string> Strings;

const char kReorderSchema[] =
    "personal { }\ndirectory { }\nlist { }\n"
    "edit {\n"
    "  tab \"name\" { attr \"cn\" \"cn\"; box \"person\" { attr \"givenname\" \"g\"; attr \"sn\" \"s\"; }"
    " attr \"title\" \"t\"; }\n"
    "  tab \"contact\" { attr \"mail\" \"m\"; attr \"mobile\" \"p\"; attr \"pager\" \"pg\"; }\n"
    "  tab \"other\" { attr \"homeurl\" \"u\"; attr \"birthday\" \"b\"; attr \"notes\" \"n\";"
    " attr \"notes\" \"n2\"; }\n"
    "}\nuab { }\nmap { }\n";

const Strings kName = {"cn", "person", "title"};
const Strings kContact = {"mail", "mobile", "pager"};
const Strings kOther = {"homeurl", "birthday", "notes", "notes"};

class SchemaReorderTest : public SchemaTest {
 protected:
  // Loads kReorderSchema under the catalogue domain (none when null); answers the tabs' entry names.
  std::vector<Strings> Load(const char* domain) {
    Unload();
    if (domain) UseCatalogue(domain);
    WriteSchema(kReorderSchema);
    std::vector<Strings> tabs;
    for (SchemaTab* tab : Items(GetSchemaTabList())) tabs.push_back(Names(tab->GetEntries()));
    return tabs;
  }
  // The attributes of the box named person on the first tab.
  Strings PersonBox() {
    for (SchemaEntry* entry : Items(GetSchemaTabList()->GetHead()->GetEntries())) {
      if (entry->GetType() == 2) return Names(static_cast<SchemaBox*>(entry)->GetAttrs());
    }
    return Strings();
  }
};

TEST_F(SchemaReorderTest, TabsAndBoxesReorderByCatalogue) {
  std::shared_ptr<ListenerRecord> errors = RegisterCountingListener();
  const struct {
    const char* domain;  // null: no catalogue
    std::vector<Strings> tabs;
    Strings person;  // the box's attributes
  } cases[] = {
      // No translation, or no exact match, leaves the file order.
      {nullptr, {kName, kContact, kOther}, {"givenname", "sn"}},
      {"schema_messages", {kName, kContact, kOther}, {"givenname", "sn"}},
      {"reorder_unknown", {kName, kContact, kOther}, {"givenname", "sn"}},
      // "other/notes/homeurl/birthday" collects four entries for three names.
      {"reorder_twice", {kName, kContact, kOther}, {"givenname", "sn"}},
      // Reordering rebuilds nothing: the box keeps its attributes.
      {"reorder_whole", {{"title", "person", "cn"}, kContact, kOther}, {"givenname", "sn"}},
      // A piece without a slash empties its tab.
      {"reorder_noslash", {kName, {}, kOther}, {"givenname", "sn"}},
      // Outer white space trimmed, white space after a comma dropped; names not listed leave the tab.
      {"reorder_tabs",
       {{"title", "cn", "person"}, {"pager", "mail", "mobile"}, {"birthday", "homeurl"}},
       {"sn", "givenname"}},
      // White space before a comma stays part of the piece, so "mobile " matches nothing.
      {"reorder_blank", {{"title", "cn", "person"}, kContact, kOther}, {"givenname", "sn"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.domain ? c.domain : "no catalogue");
    EXPECT_EQ(Load(c.domain), c.tabs);
    EXPECT_EQ(PersonBox(), c.person);
    // Lookups built afterwards see the tabs as reordered; dropped entries stay alive (ASan would see
    // them freed or leaked) but unseen.
    EXPECT_NE(GetSchemaAttr("title"), nullptr);
    EXPECT_EQ(SchemaHasAttr("mobile"), c.tabs[1].size() == 3);
    EXPECT_EQ(GetSchemaAttr("mobile") != nullptr, c.tabs[1].size() == 3);
  }
  EXPECT_EQ(errors->CallCount(), 0);
}

TEST_F(SchemaReorderTest, SampleBoxesReorderByTabAndBoxName) {
  UseCatalogue("reorder_boxes");
  UseSampleSchema();
  std::vector<SchemaTab*> tabs = Items(GetSchemaTabList());
  ASSERT_EQ(tabs.size(), 4u);
  std::vector<SchemaEntry*> contact = Items(tabs[1]->GetEntries());
  std::vector<SchemaEntry*> address = Items(tabs[2]->GetEntries());
  ASSERT_EQ(contact.size(), 3u);
  ASSERT_EQ(address.size(), 2u);
  // "address:work/c/o": the character after the tab's name is skipped whatever it is.
  EXPECT_EQ(Names(static_cast<SchemaBox*>(address[0])->GetAttrs()), (Strings{"c", "o"}));
  EXPECT_EQ(Names(static_cast<SchemaBox*>(address[1])->GetAttrs()),
            (Strings{"homecity", "homepostaladdress"}));
  // "contact/email/...": only the box named email; its siblings keep their order.
  EXPECT_EQ(Names(static_cast<SchemaBox*>(contact[0])->GetAttrs()),
            (Strings{"email3", "mail", "mailalternateaddress"}));
  EXPECT_EQ(Names(static_cast<SchemaBox*>(contact[1])->GetAttrs()),
            (Strings{"telephonenumber", "homephone", "mobile", "pager", "facsimiletelephonenumber"}));
  // No "reorderAbookAttr" translation: tab entries keep the file order.
  EXPECT_EQ(Names(tabs[0]->GetEntries()), (Strings{"cn", "person", "title"}));
}

TEST_F(SchemaReorderTest, ReorderListDirectly) {
  List<SchemaAttr*> list;
  for (const char* name : {"a", "b", "c", "b2"}) list.Append(new SchemaAttr(W(name), wxString(), nullptr));
  List<SchemaAttr*> dropped;
  ReorderSchemaList(&list, "c/a", &dropped);
  EXPECT_EQ(Names(&list), (Strings{"c", "a"}));
  EXPECT_EQ(Names(&dropped), (Strings{"b", "b2"}));

  // Names stop at the first empty one: "a//c" names only a.
  ReorderSchemaList(&list, "a//c", &dropped);
  EXPECT_EQ(Names(&list), (Strings{"a"}));
  EXPECT_EQ(Names(&dropped), (Strings{"b", "b2", "c"}));

  // Counts that differ change nothing; an empty order names nothing and so empties the list.
  ReorderSchemaList(&list, "a/zz", &dropped);
  EXPECT_EQ(Names(&list), (Strings{"a"}));
  ReorderSchemaList(&list, "", &dropped);
  EXPECT_EQ(Names(&list), Strings{});
  EXPECT_EQ(dropped.GetSize(), 4);

  while (dropped.GetSize() > 0) delete dropped.RemoveHead();
}

}  // namespace
}  // namespace test
}  // namespace zr

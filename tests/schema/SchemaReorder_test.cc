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

TEST_F(SchemaReorderTest, NoTranslationOrNoExactMatchLeavesTheFileOrder) {
  EXPECT_EQ(Load(nullptr), (std::vector<Strings>{kName, kContact, kOther}));
  EXPECT_EQ(Load("schema_messages"), (std::vector<Strings>{kName, kContact, kOther}));
  EXPECT_EQ(PersonBox(), (Strings{"givenname", "sn"}));
  EXPECT_EQ(Load("reorder_unknown"), (std::vector<Strings>{kName, kContact, kOther}));
  // "other/notes/homeurl/birthday" collects four entries for three names.
  EXPECT_EQ(Load("reorder_twice"), (std::vector<Strings>{kName, kContact, kOther}));
}

TEST_F(SchemaReorderTest, WholeTabReorders) {
  std::shared_ptr<ListenerRecord> errors = RegisterCountingListener();
  EXPECT_EQ(Load("reorder_whole"), (std::vector<Strings>{{"title", "person", "cn"}, kContact, kOther}));
  // Reordering does not rebuild anything: the box keeps its attributes and the lookups see the tab.
  EXPECT_EQ(PersonBox(), (Strings{"givenname", "sn"}));
  EXPECT_NE(GetSchemaAttr("title"), nullptr);
  EXPECT_EQ(errors->CallCount(), 0);
}

TEST_F(SchemaReorderTest, PieceWithoutSlashEmptiesItsTab) {
  EXPECT_EQ(Load("reorder_noslash"), (std::vector<Strings>{kName, {}, kOther}));
  // The dropped entries stay alive (ASan would see them freed or leaked); lookups built afterwards do not
  // see them.
  EXPECT_EQ(GetSchemaAttr("mobile"), nullptr);
  EXPECT_FALSE(SchemaHasAttr("mobile"));
}

TEST_F(SchemaReorderTest, SeveralTabsAndBoxes) {
  // Outer white space trimmed, white space after a comma dropped; names not listed leave the tab.
  EXPECT_EQ(Load("reorder_tabs"),
            (std::vector<Strings>{
                {"title", "cn", "person"}, {"pager", "mail", "mobile"}, {"birthday", "homeurl"}}));
  EXPECT_EQ(PersonBox(), (Strings{"sn", "givenname"}));

  // White space before a comma stays part of the piece, so "mobile " matches nothing.
  EXPECT_EQ(Load("reorder_blank"), (std::vector<Strings>{{"title", "cn", "person"}, kContact, kOther}));
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

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

std::string Bytes(const wxString& text) {
  wxCharBuffer buffer = text.To8BitData();
  return std::string(buffer.data(), buffer.length());
}

std::string NameOf(SchemaEntry* entry) {
  if (entry->GetType() == 2) return Bytes(static_cast<SchemaBox*>(entry)->GetName());
  return Bytes(static_cast<SchemaAttr*>(entry)->GetAttr());
}

std::vector<std::string> Names(List<SchemaEntry*>* list) {
  std::vector<std::string> names;
  ListIterator<SchemaEntry*> it(*list);
  for (it.First(); !it.IsDone(); it.Next()) names.push_back(NameOf(it.CurrentItem()));
  return names;
}

std::vector<std::string> Names(List<SchemaAttr*>* list) {
  std::vector<std::string> names;
  ListIterator<SchemaAttr*> it(*list);
  for (it.First(); !it.IsDone(); it.Next()) names.push_back(Bytes(it.CurrentItem()->GetAttr()));
  return names;
}

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

class SchemaReorderTest : public SchemaTest {
 protected:
  // Loads kReorderSchema under the catalogue domain; returns the three tabs' entry names.
  std::vector<Strings> Load(const char* domain) {
    Unload();
    if (domain) UseCatalogue(domain);
    WriteSchema(kReorderSchema);
    std::vector<Strings> tabs;
    List<SchemaTab*>* list = GetSchemaTabList();
    EXPECT_NE(list, nullptr);
    if (!list) return tabs;
    ListIterator<SchemaTab*> it(*list);
    for (it.First(); !it.IsDone(); it.Next()) tabs.push_back(Names(it.CurrentItem()->GetEntries()));
    return tabs;
  }
  Strings PersonBox() {
    List<SchemaEntry*>* entries = GetSchemaTabList()->GetHead()->GetEntries();
    ListIterator<SchemaEntry*> it(*entries);
    for (it.First(); !it.IsDone(); it.Next()) {
      if (it.CurrentItem()->GetType() == 2)
        return Names(static_cast<SchemaBox*>(it.CurrentItem())->GetAttrs());
    }
    return Strings();
  }
};

const Strings kName = {"cn", "person", "title"};
const Strings kContact = {"mail", "mobile", "pager"};
const Strings kOther = {"homeurl", "birthday", "notes", "notes"};

TEST_F(SchemaReorderTest, NoTranslationLeavesTheFileOrder) {
  EXPECT_EQ(Load(nullptr), (std::vector<Strings>{kName, kContact, kOther}));
  EXPECT_EQ(Load("schema_messages"), (std::vector<Strings>{kName, kContact, kOther}));
  EXPECT_EQ(PersonBox(), (Strings{"givenname", "sn"}));
}

TEST_F(SchemaReorderTest, WholeTabReorders) {
  std::shared_ptr<ListenerRecord> errors = RegisterCountingListener();
  EXPECT_EQ(Load("reorder_whole"), (std::vector<Strings>{{"title", "person", "cn"}, kContact, kOther}));
  // Reordering does not rebuild anything: the box keeps its attributes and the lookups see the tab.
  EXPECT_EQ(PersonBox(), (Strings{"givenname", "sn"}));
  EXPECT_NE(GetSchemaAttr("title"), nullptr);
  EXPECT_EQ(errors->CallCount(), 0);
}

TEST_F(SchemaReorderTest, UnmatchedOrDoubleNamesLeaveTheTab) {
  // A name matching nothing.
  EXPECT_EQ(Load("reorder_unknown"), (std::vector<Strings>{kName, kContact, kOther}));
  // A name matching two entries ("other/notes/homeurl/birthday" collects four for three names).
  EXPECT_EQ(Load("reorder_twice"), (std::vector<Strings>{kName, kContact, kOther}));
}

TEST_F(SchemaReorderTest, PieceWithoutSlashEmptiesItsTab) {
  std::vector<Strings> tabs = Load("reorder_noslash");
  EXPECT_EQ(tabs, (std::vector<Strings>{kName, {}, kOther}));
  // The dropped entries are kept alive, not destroyed: lookups built afterwards just do not see them.
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
  List<SchemaTab*>* tabs = GetSchemaTabList();
  ASSERT_NE(tabs, nullptr);
  std::vector<SchemaTab*> byIndex;
  ListIterator<SchemaTab*> it(*tabs);
  for (it.First(); !it.IsDone(); it.Next()) byIndex.push_back(it.CurrentItem());
  ASSERT_EQ(byIndex.size(), 4u);

  SchemaBox* email = static_cast<SchemaBox*>(byIndex[1]->GetEntries()->GetHead());
  std::vector<SchemaBox*> address;
  ListIterator<SchemaEntry*> addressIt(*byIndex[2]->GetEntries());
  for (addressIt.First(); !addressIt.IsDone(); addressIt.Next()) {
    address.push_back(static_cast<SchemaBox*>(addressIt.CurrentItem()));
  }
  ASSERT_EQ(address.size(), 2u);
  // "address:work/c/o": the character after the tab's name is skipped whatever it is.
  EXPECT_EQ(Names(address[0]->GetAttrs()), (Strings{"c", "o"}));
  EXPECT_EQ(Names(address[1]->GetAttrs()), (Strings{"homecity", "homepostaladdress"}));
  // "contact/email/...": only the box named email; its siblings keep their order.
  EXPECT_EQ(Names(email->GetAttrs()), (Strings{"email3", "mail", "mailalternateaddress"}));
  ListIterator<SchemaEntry*> contactIt(*byIndex[1]->GetEntries());
  contactIt.First();
  contactIt.Next();
  EXPECT_EQ(Names(static_cast<SchemaBox*>(contactIt.CurrentItem())->GetAttrs()),
            (Strings{"telephonenumber", "homephone", "mobile", "pager", "facsimiletelephonenumber"}));
  // No "reorderAbookAttr" translation: tab entries keep the file order.
  EXPECT_EQ(Names(byIndex[0]->GetEntries()), (Strings{"cn", "person", "title"}));
}

TEST_F(SchemaReorderTest, ReorderListDirectly) {
  List<SchemaAttr*> list;
  for (const char* name : {"a", "b", "c", "b2"}) {
    list.Append(new SchemaAttr(wxString::From8BitData(name), wxString(), nullptr));
  }
  List<SchemaAttr*> dropped;
  ReorderSchemaList(&list, "c/a", &dropped);
  EXPECT_EQ(Names(&list), (Strings{"c", "a"}));
  EXPECT_EQ(Names(&dropped), (Strings{"b", "b2"}));

  // Names stop at the first empty one: "a//c" names only a.
  ReorderSchemaList(&list, "a//c", &dropped);
  EXPECT_EQ(Names(&list), (Strings{"a"}));
  EXPECT_EQ(Names(&dropped), (Strings{"b", "b2", "c"}));

  // Counts that differ change nothing.
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

// The schema objects on their own: modifier lookups, deep copies, localised labels and the error listener
// registration.
#include <gtest/gtest.h>

#include "SchemaBook.h"
#include "SchemaDirectory.h"
#include "SchemaRegistry.h"
#include "SchemaTab.h"
#include "SchemaTestSupport.h"
#include "SchemaUABSync.h"

namespace zr {
namespace test {
namespace {

List<SchemaModifier*>* Modifiers(std::initializer_list<std::pair<const char*, const char*>> pairs) {
  List<SchemaModifier*>* list = new List<SchemaModifier*>;
  for (const auto& pair : pairs) list->Append(new SchemaModifier(W(pair.first), W(pair.second)));
  return list;
}

List<SchemaAttr*>* Attrs(std::initializer_list<const char*> names) {
  List<SchemaAttr*>* list = new List<SchemaAttr*>;
  for (const char* name : names) list->Append(new SchemaAttr(W(name), W(name), Modifiers({{"size", "20"}})));
  return list;
}

using SchemaObjectsTest = SchemaTest;

TEST_F(SchemaObjectsTest, ModifierQueriesTakeTheFirstExactMatch) {
  SchemaAttr attr(W("cn"), W("Name"),
                  Modifiers({{"size", "10"},
                             {"size", "20"},
                             {"junk", "12abc"},
                             {"empty", ""},
                             {"blank", " 12"},
                             {"trailing", "12 "},
                             {"neg", "-7"},
                             {"label", "Full name"}}));
  EXPECT_EQ(Bytes(attr.GetModifier(W("size"))), "10");
  EXPECT_EQ(Bytes(attr.GetModifier(W("Size"))), "");
  EXPECT_EQ(Bytes(attr.GetModifier(W("absent"))), "");
  // A whole number, leading blanks allowed; anything else answers the default.
  const std::pair<const char*, long> numbers[] = {{"size", 10},  {"junk", 5},     {"empty", 5}, {"absent", 5},
                                                  {"blank", 12}, {"trailing", 5}, {"neg", -7}};
  for (const auto& number : numbers)
    EXPECT_EQ(attr.GetModifierLong(W(number.first), 5), number.second) << number.first;
  EXPECT_EQ(Bytes(attr.GetModifierString(W("label"), W("dflt"))), "Full name");
  EXPECT_EQ(Bytes(attr.GetModifierString(W("absent"), W("dflt"))), "dflt");
  EXPECT_EQ(Bytes(attr.GetModifierString(W("empty"), W("dflt"))), "dflt");

  SchemaBox box;  // no modifier list at all
  EXPECT_EQ(Bytes(box.GetModifier(W("size"))), "");
  EXPECT_EQ(box.GetModifierLong(W("size"), 3), 3);

  SchemaDirectory dir("Corp", "host", "root", Modifiers({{"port", "389"}, {"port", "636"}}));
  EXPECT_EQ(dir.GetModifierLong(W("port"), 0), 389);
  EXPECT_EQ(Bytes(dir.GetModifier(W("PORT"))), "");
  // Names are bytes: a Latin-1 name survives whatever the process locale.
  EXPECT_EQ(Bytes(SchemaBook("Priv\xe9").GetName()), "Priv\xe9");
}

// Every object below is destroyed at the end of the test, sources before or after their copies: ASan
// reports any shared child that is freed twice or any child that is never freed.
TEST_F(SchemaObjectsTest, CopiesAreDeepAndIndependent) {
  SchemaTab* tab = new SchemaTab;
  tab->SetName(W("name"));
  tab->AdoptEntries(new List<SchemaEntry*>);
  tab->GetEntries()->Append(new SchemaAttr(W("cn"), W("cn"), Modifiers({{"size", "40"}})));
  SchemaBox* box = new SchemaBox;
  box->SetName(W("person"));
  box->AdoptModifiers(Modifiers({{"columns", "2"}}));
  box->AdoptAttrs(Attrs({"sn"}));
  tab->GetEntries()->Append(box);
  tab->GetEntries()->Append(box);  // as a reorder naming it twice leaves it
  tab->GetEntries()->Append(nullptr);

  SchemaTab copy(*tab);
  delete tab;
  std::vector<SchemaEntry*> entries = Items(copy.GetEntries());
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[3], nullptr);
  EXPECT_EQ(entries[0]->GetModifierLong(W("size"), 0), 40);
  ASSERT_EQ(entries[1]->GetType(), 2);
  SchemaBox* boxCopy = static_cast<SchemaBox*>(entries[1]);
  EXPECT_NE(boxCopy, entries[2]);
  EXPECT_EQ(Bytes(boxCopy->GetName()), "person");
  EXPECT_EQ(boxCopy->GetModifierLong(W("columns"), 0), 2);
  EXPECT_EQ(boxCopy->GetAttrs()->GetHead()->GetModifierLong(W("size"), 0), 20);

  // Assignment replaces what the target owned; self-assignment keeps it.
  SchemaTab assigned;
  assigned = copy;
  assigned = assigned;
  EXPECT_NE(assigned.GetEntries()->GetHead(), copy.GetEntries()->GetHead());
  EXPECT_EQ(assigned.GetEntries()->GetSize(), 4);

  SchemaComboType combo, comboAssigned;
  combo.SetName(W("email_combo"));
  combo.AdoptAttrs(Attrs({"mail"}));
  comboAssigned = combo;
  SchemaComboType comboCopy(comboAssigned);
  EXPECT_EQ(Bytes(comboCopy.GetName()), "email_combo");
  EXPECT_NE(comboCopy.GetAttrs()->GetHead(), combo.GetAttrs()->GetHead());

  SchemaUABSync sync, syncAssigned;
  sync.AdoptAttrs(Attrs({"cn", "sn"}));
  syncAssigned = sync;
  EXPECT_EQ(Names(SchemaUABSync(syncAssigned).GetAttrs()), (std::vector<std::string>{"cn", "sn"}));

  SchemaDirectory dir("Corp", "host", "root", Modifiers({{"port", "389"}})),
      dirAssigned("x", "y", "z", nullptr);
  dirAssigned = dir;
  EXPECT_EQ(Bytes(dirAssigned.GetHost()), "host");
  EXPECT_EQ(SchemaDirectory(dirAssigned).GetModifierLong(W("port"), 0), 389);
}

TEST_F(SchemaObjectsTest, DestroyEntryListDeletesEntriesNotTheList) {
  List<SchemaEntry*>* list = new List<SchemaEntry*>;
  list->Append(new SchemaAttr(W("cn"), W("cn"), nullptr));
  list->Append(nullptr);
  SchemaBox* box = new SchemaBox;
  box->AdoptAttrs(Attrs({"sn"}));
  list->Append(box);
  DestroySchemaEntryList(list);  // ASan reports a leak or a double free if ownership is wrong
  EXPECT_EQ(list->GetSize(), 0);
  delete list;
}

TEST_F(SchemaObjectsTest, LocalisedLabels) {
  SchemaBox home;
  home.SetName(W("home"));
  SchemaTab tab;
  tab.SetName(W("name"));
  SchemaAttr cn(W("commonname"), W("cn"), nullptr);
  SchemaAttr mail(W("mail"), W("mail"), nullptr);

  // Without a locale the key itself is the lookup's result, so every label is the name.
  ASSERT_EQ(wxGetLocale(), nullptr);
  EXPECT_EQ(Bytes(home.GetLocalizedName("abook.box.")), "home");
  EXPECT_EQ(Bytes(cn.GetLocalizedDisplay("abook.attr.")), "cn");

  UseCatalogue("schema_messages");
  EXPECT_EQ(Bytes(home.GetLocalizedName("abook.box.")),
            "Domicile \xe0 Orl\xe9"
            "ans");
  EXPECT_EQ(Bytes(home.GetLocalizedName("abook.box")), "home");  // prefix + name, no separator
  EXPECT_EQ(Bytes(tab.GetLocalizedName("abook.tab.")), "Nom");
  EXPECT_EQ(Bytes(cn.GetLocalizedDisplay("abook.attr.")), "Nom complet");  // the display, not the attr
  EXPECT_EQ(Bytes(mail.GetLocalizedDisplay("abook.attr.")), "mail");
}

TEST_F(SchemaObjectsTest, ErrorListenerIsReleasedOnceWhenReplacedOrDestroyed) {
  DestroyABSchemaErrorListener();  // nothing registered: nothing happens

  std::shared_ptr<ListenerRecord> first = RegisterCountingListener();
  std::shared_ptr<ListenerRecord> second = RegisterCountingListener();
  EXPECT_EQ(first->Releases(), 1);
  EXPECT_EQ(second->Releases(), 0);

  DestroyABSchemaErrorListener();
  DestroyABSchemaErrorListener();
  EXPECT_EQ(first->Releases(), 1);
  EXPECT_EQ(second->Releases(), 1);
  EXPECT_EQ(first->CallCount() + second->CallCount(), 0);

  // Registering the registered listener again must not release it under its own feet.
  CountingSchemaErrorListener* listener = new CountingSchemaErrorListener;
  std::shared_ptr<ListenerRecord> record = listener->record();
  RegisterABSchemaErrorListener(listener);
  RegisterABSchemaErrorListener(listener);
  EXPECT_EQ(record->Releases(), 0);
  DestroyABSchemaErrorListener();
  EXPECT_EQ(record->Releases(), 1);
}

}  // namespace
}  // namespace test
}  // namespace zr

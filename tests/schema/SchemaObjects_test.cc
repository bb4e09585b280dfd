// The schema objects on their own: modifier lookups, kinds, deep copies, localised labels and the error
// listener registration.
#include <gtest/gtest.h>

#include "SchemaBook.h"
#include "SchemaDirectory.h"
#include "SchemaEntry.h"
#include "SchemaTab.h"
#include "SchemaTestSupport.h"
#include "SchemaUABSync.h"

namespace zr {
namespace test {
namespace {

wxString W(const char* text) { return wxString::From8BitData(text); }

List<SchemaModifier*>* Modifiers(std::initializer_list<std::pair<const char*, const char*>> pairs) {
  List<SchemaModifier*>* list = new List<SchemaModifier*>;
  for (const auto& pair : pairs) list->Append(new SchemaModifier(W(pair.first), W(pair.second)));
  return list;
}

std::string Bytes(const wxString& text) {
  wxCharBuffer buffer = text.To8BitData();
  return std::string(buffer.data(), buffer.length());
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

  EXPECT_EQ(attr.GetModifierLong(W("size"), 5), 10);
  EXPECT_EQ(attr.GetModifierLong(W("junk"), 5), 5);
  EXPECT_EQ(attr.GetModifierLong(W("empty"), 5), 5);
  EXPECT_EQ(attr.GetModifierLong(W("absent"), 5), 5);
  EXPECT_EQ(attr.GetModifierLong(W("blank"), 5), 12);
  EXPECT_EQ(attr.GetModifierLong(W("trailing"), 5), 5);
  EXPECT_EQ(attr.GetModifierLong(W("neg"), 5), -7);

  EXPECT_EQ(Bytes(attr.GetModifierString(W("label"), W("dflt"))), "Full name");
  EXPECT_EQ(Bytes(attr.GetModifierString(W("absent"), W("dflt"))), "dflt");
  EXPECT_EQ(Bytes(attr.GetModifierString(W("empty"), W("dflt"))), "dflt");

  SchemaBox box;  // no modifier list at all
  EXPECT_EQ(box.GetModifiers(), nullptr);
  EXPECT_EQ(Bytes(box.GetModifier(W("size"))), "");
  EXPECT_EQ(box.GetModifierLong(W("size"), 3), 3);

  SchemaDirectory dir("Corp", "ldap.example.com", "o=Example", Modifiers({{"port", "389"}, {"port", "636"}}));
  EXPECT_EQ(Bytes(dir.GetName()), "Corp");
  EXPECT_EQ(Bytes(dir.GetHost()), "ldap.example.com");
  EXPECT_EQ(Bytes(dir.GetRoot()), "o=Example");
  EXPECT_EQ(dir.GetModifierLong(W("port"), 0), 389);
  EXPECT_EQ(Bytes(dir.GetModifier(W("PORT"))), "");
}

TEST_F(SchemaObjectsTest, KindsAndRawBytes) {
  SchemaAttr* attr = new SchemaAttr(W("cn"), W("cn"), nullptr);
  SchemaBox* box = new SchemaBox;
  SchemaComboType combo;
  EXPECT_EQ(attr->GetType(), 1);
  EXPECT_EQ(box->GetType(), 2);
  EXPECT_EQ(combo.GetType(), 3);
  EXPECT_EQ(combo.GetAttrs(), nullptr);
  EXPECT_TRUE(box->GetName().empty());
  EXPECT_EQ(box->GetAttrs(), nullptr);

  SchemaTab tab;
  tab.AdoptEntries(new List<SchemaEntry*>);
  tab.GetEntries()->Append(attr);
  tab.GetEntries()->Append(box);
  ListIterator<SchemaEntry*> it(*tab.GetEntries());
  it.First();
  EXPECT_EQ(it.CurrentItem()->GetType(), 1);
  it.Next();
  EXPECT_EQ(it.CurrentItem()->GetType(), 2);

  // Names are bytes: a Latin-1 name survives whatever the process locale.
  SchemaBook book(
      "Adresses priv\xe9"
      "es");
  EXPECT_EQ(Bytes(book.GetName()),
            "Adresses priv\xe9"
            "es");
}

TEST_F(SchemaObjectsTest, CopiesAreDeepAndIndependent) {
  SchemaTab* tab = new SchemaTab;
  tab->SetName(W("name"));
  List<SchemaEntry*>* entries = new List<SchemaEntry*>;
  entries->Append(new SchemaAttr(W("cn"), W("cn"), Modifiers({{"size", "40"}})));
  SchemaBox* box = new SchemaBox;
  box->SetName(W("person"));
  box->AdoptModifiers(Modifiers({{"columns", "2"}}));
  List<SchemaAttr*>* boxAttrs = new List<SchemaAttr*>;
  boxAttrs->Append(new SchemaAttr(W("sn"), W("sn"), Modifiers({{"size", "20"}})));
  box->AdoptAttrs(boxAttrs);
  entries->Append(box);
  tab->AdoptEntries(entries);

  SchemaTab copy(*tab);
  delete tab;  // the copy must not depend on its source
  ASSERT_NE(copy.GetEntries(), nullptr);
  ASSERT_EQ(copy.GetEntries()->GetSize(), 2);
  SchemaEntry* first = copy.GetEntries()->GetHead();
  ASSERT_EQ(first->GetType(), 1);
  EXPECT_EQ(first->GetModifierLong(W("size"), 0), 40);
  SchemaEntry* second = copy.GetEntries()->GetTail();
  ASSERT_EQ(second->GetType(), 2);
  SchemaBox* boxCopy = static_cast<SchemaBox*>(second);
  EXPECT_EQ(Bytes(boxCopy->GetName()), "person");
  EXPECT_EQ(boxCopy->GetModifierLong(W("columns"), 0), 2);
  ASSERT_EQ(boxCopy->GetSize(), 1);
  EXPECT_EQ(Bytes(boxCopy->GetAttrs()->GetHead()->GetAttr()), "sn");
  EXPECT_EQ(boxCopy->GetAttrs()->GetHead()->GetModifierLong(W("size"), 0), 20);

  // Assignment replaces what the target owned and shares nothing with the source.
  SchemaTab assigned;
  assigned = copy;
  assigned = assigned;
  EXPECT_NE(assigned.GetEntries(), copy.GetEntries());
  EXPECT_NE(assigned.GetEntries()->GetHead(), copy.GetEntries()->GetHead());
  EXPECT_EQ(assigned.GetEntries()->GetSize(), 2);

  SchemaComboType combo;
  combo.SetName(W("email_combo"));
  combo.AdoptAttrs(new List<SchemaAttr*>);
  combo.GetAttrs()->Append(new SchemaAttr(W("mail"), W("Work"), nullptr));
  SchemaComboType comboCopy(combo);
  EXPECT_NE(comboCopy.GetAttrs(), combo.GetAttrs());
  EXPECT_EQ(comboCopy.GetSize(), 1);
  SchemaComboType comboAssigned;
  comboAssigned = combo;
  EXPECT_EQ(Bytes(comboAssigned.GetName()), "email_combo");
  EXPECT_NE(comboAssigned.GetAttrs()->GetHead(), combo.GetAttrs()->GetHead());

  SchemaUABSync sync;
  sync.AdoptAttrs(new List<SchemaAttr*>);
  sync.GetAttrs()->Append(new SchemaAttr(W("cn"), W("cn"), nullptr));
  SchemaUABSync syncCopy(sync);
  SchemaUABSync syncAssigned;
  syncAssigned = sync;
  EXPECT_NE(syncCopy.GetAttrs()->GetHead(), sync.GetAttrs()->GetHead());
  EXPECT_EQ(syncAssigned.GetAttrs()->GetSize(), 1);

  SchemaDirectory dir("Corp", "host", "root", Modifiers({{"port", "389"}}));
  SchemaDirectory dirCopy(dir);
  SchemaDirectory dirAssigned("x", "y", "z", nullptr);
  dirAssigned = dir;
  EXPECT_EQ(dirCopy.GetModifierLong(W("port"), 0), 389);
  EXPECT_EQ(Bytes(dirAssigned.GetHost()), "host");
  EXPECT_EQ(dirAssigned.GetModifierLong(W("port"), 0), 389);
  // Each of these objects is destroyed at the end of the test: ASan reports any double free or leak.
}

TEST_F(SchemaObjectsTest, LocalisedLabelsWithoutLocaleAnswerTheName) {
  ASSERT_EQ(wxGetLocale(), nullptr);
  SchemaBox box;
  box.SetName(W("home"));
  EXPECT_EQ(Bytes(box.GetLocalizedName("abook.box.")), "home");
  SchemaAttr attr(W("cn"), W("cn"), nullptr);
  EXPECT_EQ(Bytes(attr.GetLocalizedDisplay("abook.attr.")), "cn");
}

TEST_F(SchemaObjectsTest, LocalisedLabelsThroughACatalogue) {
  UseCatalogue("schema_messages");
  SchemaBox home;
  home.SetName(W("home"));
  EXPECT_EQ(Bytes(home.GetLocalizedName("abook.box.")),
            "Domicile \xe0 Orl\xe9"
            "ans");
  // The key is prefix + name with no separator.
  EXPECT_EQ(Bytes(home.GetLocalizedName("abook.box")), "home");
  SchemaBox work;
  work.SetName(W("work"));
  EXPECT_EQ(Bytes(work.GetLocalizedName("abook.box.")), "work");

  SchemaTab tab;
  tab.SetName(W("name"));
  EXPECT_EQ(Bytes(tab.GetLocalizedName("abook.tab.")), "Nom");

  SchemaAttr cn(W("commonname"), W("cn"), nullptr);
  EXPECT_EQ(Bytes(cn.GetLocalizedDisplay("abook.attr.")), "Nom complet");
  SchemaAttr mail(W("mail"), W("mail"), nullptr);
  EXPECT_EQ(Bytes(mail.GetLocalizedDisplay("abook.attr.")), "mail");
}

TEST_F(SchemaObjectsTest, ErrorListenerIsReleasedOnceWhenReplacedOrDestroyed) {
  DestroyABSchemaErrorListener();  // nothing registered: nothing happens

  std::shared_ptr<ListenerRecord> first = RegisterCountingListener();
  std::shared_ptr<ListenerRecord> second = RegisterCountingListener();
  EXPECT_EQ(first->Releases(), 1);
  EXPECT_EQ(second->Releases(), 0);

  DestroyABSchemaErrorListener();
  EXPECT_EQ(second->Releases(), 1);
  DestroyABSchemaErrorListener();
  EXPECT_EQ(first->Releases(), 1);
  EXPECT_EQ(second->Releases(), 1);
  EXPECT_EQ(first->CallCount(), 0);
  EXPECT_EQ(second->CallCount(), 0);

  // The same listener registered twice stays registered and alive.
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

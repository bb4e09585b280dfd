// Registry queries over loaded schemas: types, attribute lookups and names, type-down attributes, primary
// keys, the screen-name attribute and the import mapping.
#include "SchemaRegistry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "IPCMessage.h"
#include "Prefs.h"
#include "SchemaLoader.h"
#include "SchemaTestSupport.h"

namespace zr {
namespace test {
namespace {

wxString W(const char* text) { return wxString::From8BitData(text); }

std::string Bytes(const wxString& text) {
  wxCharBuffer buffer = text.To8BitData();
  return std::string(buffer.data(), buffer.length());
}

std::vector<std::string> Strings(List<const char*>* list) {
  std::vector<std::string> strings;
  ListIterator<const char*> it(*list);
  for (it.First(); !it.IsDone(); it.Next()) strings.push_back(it.CurrentItem());
  return strings;
}

const std::vector<std::string> kTypeDown = {
    "cn", "mail", "nuouid", "mailalternateaddress", "email3", "xmozillahomenuouid", "xmozillanickname"};

using SchemaRegistryTest = SchemaTest;

TEST_F(SchemaRegistryTest, TypesAndAttributeLookups) {
  WriteSchema(
      "personal { }\ndirectory { }\n"
      "list { attr \"cn\" \"list cn\"; attr \"mail\" \"mail\"; attr \"cn\" \"second cn\"; }\n"
      "combo \"email_combo\" { attr \"mail\" \"Work\"; }\ncombo \"Email_Combo\" { }\n"
      "edit {\n"
      "  tab \"t1\" { attr \"cn\" \"tab cn\"; attr \"title\" \"tab title\";"
      " box \"b\" { attr \"boxonly\" \"x\"; attr \"title\" \"box title\"; } }\n"
      "  tab \"t2\" { attr \"title\" \"second title\"; attr \"aaa\" \"a\"; }\n"
      "}\nuab { }\nmap { }\n");

  SchemaType* combo = FindEmailComboSchemaType();
  ASSERT_NE(combo, nullptr);
  EXPECT_EQ(combo->GetSize(), 1);
  wxString upper = W("Email_Combo");
  SchemaType* other = FindSchemaType(upper);
  ASSERT_NE(other, nullptr);
  EXPECT_NE(other, combo);
  wxString wrongCase = W("EMAIL_COMBO");
  EXPECT_EQ(FindSchemaType(wrongCase), nullptr);

  // First definition wins: the list section's, then the first tab's.
  SchemaAttr* cn = GetSchemaAttr("cn");
  ASSERT_NE(cn, nullptr);
  EXPECT_EQ(Bytes(cn->GetDisplay()), "list cn");
  SchemaAttr* title = GetSchemaAttr("title");
  ASSERT_NE(title, nullptr);
  EXPECT_EQ(Bytes(title->GetDisplay()), "tab title");
  EXPECT_NE(GetSchemaAttr("aaa"), nullptr);
  // Box attributes are listed but cannot be looked up.
  EXPECT_EQ(GetSchemaAttr("boxonly"), nullptr);
  EXPECT_TRUE(SchemaHasAttr("boxonly"));
  EXPECT_TRUE(SchemaHasAttr("cn"));
  EXPECT_FALSE(SchemaHasAttr("CN"));
  EXPECT_FALSE(SchemaHasAttr("nosuch"));
  EXPECT_FALSE(SchemaHasAttr(nullptr));
  EXPECT_EQ(GetSchemaAttr(nullptr), nullptr);
  EXPECT_EQ(GetSchemaAttr("nosuch"), nullptr);

  List<const char*>* names = GetSchemaAttrNameList();
  EXPECT_EQ(Strings(names), (std::vector<std::string>{"aaa", "boxonly", "cn", "mail", "title"}));
  EXPECT_EQ(GetSchemaAttrNameList(), names);  // built once
  EXPECT_EQ(Strings(GetSchemaTypeDownList()), kTypeDown);
}

TEST_F(SchemaRegistryTest, SampleNamesAndTypeDownWhateverTheFile) {
  UseSampleSchema();
  List<const char*>* names = GetSchemaAttrNameList();
  std::vector<std::string> sorted = Strings(names);
  ASSERT_EQ(sorted.size(), 30u);  // 27 in the list section, 3 more in the home box
  for (size_t i = 1; i < sorted.size(); i++) EXPECT_LT(sorted[i - 1], sorted[i]);
  EXPECT_TRUE(SchemaHasAttr("homecity"));
  EXPECT_EQ(GetSchemaAttr("homecity"), nullptr);
  SchemaAttr* mail = GetSchemaAttr("mail");
  ASSERT_NE(mail, nullptr);
  EXPECT_EQ(Bytes(mail->GetModifier(W("required"))), "true");  // the list section's, not the box's
  EXPECT_EQ(Strings(GetSchemaTypeDownList()), kTypeDown);

  // Missing file: the same seven names, and every getter answers null.
  Unload();
  Prefs::SetInstallDirectory(Dir().c_str());
  EXPECT_EQ(Strings(GetSchemaTypeDownList()), kTypeDown);
  EXPECT_EQ(GetSchemaAttrList(), nullptr);
  EXPECT_EQ(FindEmailComboSchemaType(), nullptr);
  EXPECT_EQ(GetSchemaAttrNameList()->GetSize(), 0);
  EXPECT_EQ(GetSchemaAttr("cn"), nullptr);
  EXPECT_FALSE(SchemaHasAttr("cn"));
}

TEST_F(SchemaRegistryTest, PrimaryKeys) {
  wxString mail = W("mail");
  wxString primary = PrimaryKey(mail);
  EXPECT_EQ(Bytes(primary), "_xprim_mail");
  std::string text = Bytes(primary);
  EXPECT_TRUE(IsPrimaryKey(text.c_str()));
  EXPECT_EQ(UnPrimaryKey(text.c_str()), text.c_str() + 7);
  EXPECT_STREQ(UnPrimaryKey(text.c_str()), "mail");
  EXPECT_TRUE(IsPrimaryKey("_xprim_"));
  EXPECT_EQ(UnPrimaryKey("_xprim_"), nullptr);
  EXPECT_FALSE(IsPrimaryKey("mail"));
  EXPECT_EQ(UnPrimaryKey("mail"), nullptr);
  EXPECT_FALSE(IsPrimaryKey("_xprim"));
  EXPECT_FALSE(IsPrimaryKey(nullptr));
  EXPECT_EQ(UnPrimaryKey(nullptr), nullptr);
}

TEST_F(SchemaRegistryTest, ScreenNameAttributeIsTheLastNuouidMapping) {
  EXPECT_STREQ(GetSchemaDirectoryScreenNameAttr(), "nuouid");
  WriteSchema(
      "personal { }\ndirectory { }\nlist { }\nedit { }\nuab { }\n"
      "map { attr \"aim\" \"nuouid\"; attr \"x\" \"NUOUID\"; attr \"im\" \"nuouid\"; attr \"y\" \"cn\"; }\n");
  EXPECT_STREQ(GetSchemaDirectoryScreenNameAttr(), "nuouid");  // does not load
  GetSchemaBookList();
  EXPECT_STREQ(GetSchemaDirectoryScreenNameAttr(), "im");

  Unload();
  WriteSchema("personal { }\ndirectory { }\nlist { }\nedit { }\nuab { }\nmap { attr \"y\" \"cn\"; }\n");
  GetSchemaBookList();
  EXPECT_STREQ(GetSchemaDirectoryScreenNameAttr(), "nuouid");
}

TEST_F(SchemaRegistryTest, ImportMapping) {
  IPCMessage* message = IPC_NewMessage();
  // Nothing registered: only the marker.
  SchemaMapImportedAttributes(message);
  EXPECT_EQ(IPC_MessageGetCount(message), 1);
  EXPECT_STREQ(IPC_MessageGetValue(message, "xmozillamapped"), "1");
  IPC_DestroyMessage(message);

  WriteSchema(
      "personal { }\ndirectory { }\nlist { }\nedit { }\nuab { }\n"
      "map {\n"
      "  attr \"A\" \"B\" set_attr = \"K:V\";\n"
      "  attr \"First\" \"givenname\";\n"
      "  attr \"Flag\" \"flagged\" set_attr = \"nocolon\";\n"
      "  attr \"Url\" \"homeurl\" set_attr = \"urlset:yes:really\";\n"
      "}\n");
  // Mapping does not load by itself.
  message = IPC_NewMessage();
  IPC_MessageSetValue(message, "A", "a-value");
  SchemaMapImportedAttributes(message);
  EXPECT_EQ(IPC_MessageGetValue(message, "B"), nullptr);
  IPC_DestroyMessage(message);
  ASSERT_NE(GetSchemaBookList(), nullptr);

  message = IPC_NewMessage();
  IPC_MessageSetValue(message, "A", "a-value");
  IPC_MessageSetValue(message, "First", "Ada");
  IPC_MessageSetValue(message, "Flag", "on");
  IPC_MessageSetValue(message, "Url", "http://example.com/");
  IPC_MessageSetValue(message, "urlset", "kept");
  SchemaMapImportedAttributes(message);
  EXPECT_STREQ(IPC_MessageGetValue(message, "A"), "a-value");  // the imported key stays
  EXPECT_STREQ(IPC_MessageGetValue(message, "B"), "a-value");
  EXPECT_STREQ(IPC_MessageGetValue(message, "K"), "V");
  EXPECT_STREQ(IPC_MessageGetValue(message, "givenname"), "Ada");
  EXPECT_STREQ(IPC_MessageGetValue(message, "flagged"), "on");
  EXPECT_STREQ(IPC_MessageGetValue(message, "nocolon"), "");
  EXPECT_STREQ(IPC_MessageGetValue(message, "homeurl"), "http://example.com/");
  EXPECT_STREQ(IPC_MessageGetValue(message, "urlset"), "kept");
  EXPECT_STREQ(IPC_MessageGetValue(message, "xmozillamapped"), "1");
  EXPECT_EQ(IPC_MessageGetCount(message), 12);
  IPC_DestroyMessage(message);

  // An existing value of the set_attr key stays; a message without the imported key gets only the marker.
  message = IPC_NewMessage();
  IPC_MessageSetValue(message, "A", "x");
  IPC_MessageSetValue(message, "K", "mine");
  SchemaMapImportedAttributes(message);
  EXPECT_STREQ(IPC_MessageGetValue(message, "K"), "mine");
  IPC_DestroyMessage(message);

  message = IPC_NewMessage();
  IPC_MessageSetValue(message, "Other", "x");
  SchemaMapImportedAttributes(message);
  EXPECT_EQ(IPC_MessageGetCount(message), 2);
  EXPECT_STREQ(IPC_MessageGetValue(message, "xmozillamapped"), "1");
  IPC_DestroyMessage(message);

  // A set_attr value past its colon may hold colons of its own.
  message = IPC_NewMessage();
  IPC_MessageSetValue(message, "Url", "u");
  SchemaMapImportedAttributes(message);
  EXPECT_STREQ(IPC_MessageGetValue(message, "urlset"), "yes:really");
  IPC_DestroyMessage(message);
}

TEST_F(SchemaRegistryTest, SampleImportMapping) {
  UseSampleSchema();
  GetSchemaBookList();
  IPCMessage* message = IPC_NewMessage();
  IPC_MessageSetValue(message, "E-mail Address", "ada@example.com");
  IPC_MessageSetValue(message, "Screen Name", "ada1815");
  IPC_MessageSetValue(message, "Web Page", "http://example.com/ada");
  SchemaMapImportedAttributes(message);
  EXPECT_STREQ(IPC_MessageGetValue(message, "mail"), "ada@example.com");
  EXPECT_STREQ(IPC_MessageGetValue(message, "xmozillausehtmlmail"), "false");
  EXPECT_STREQ(IPC_MessageGetValue(message, "nuouid"), "ada1815");
  EXPECT_STREQ(IPC_MessageGetValue(message, "homeurl"), "http://example.com/ada");
  EXPECT_STREQ(IPC_MessageGetValue(message, "xmozillahomeurlset"), "");
  EXPECT_EQ(IPC_MessageGetValue(message, "givenname"), nullptr);
  IPC_DestroyMessage(message);
}

TEST_F(SchemaRegistryTest, DestroyEntryListDeletesEntriesNotTheList) {
  List<SchemaEntry*>* list = new List<SchemaEntry*>;
  list->Append(new SchemaAttr(W("cn"), W("cn"), nullptr));
  list->Append(nullptr);
  SchemaBox* box = new SchemaBox;
  box->AdoptAttrs(new List<SchemaAttr*>);
  box->GetAttrs()->Append(new SchemaAttr(W("sn"), W("sn"), nullptr));
  list->Append(box);
  DestroySchemaEntryList(list);  // ASan reports a leak or a double free if ownership is wrong
  EXPECT_EQ(list->GetSize(), 0);
  delete list;
}

}  // namespace
}  // namespace test
}  // namespace zr

// Registry queries over loaded schemas: types, attribute lookups and names, type-down attributes, primary
// keys, the screen-name attribute and the import mapping.
#include "SchemaRegistry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "IPCMessage.h"
#include "SchemaLoader.h"
#include "SchemaTestSupport.h"

namespace zr {
namespace test {
namespace {

typedef std::vector<std::string> Strings;

Strings Texts(List<const char*>* list) {
  Strings texts;
  for (const char* text : Items(list)) texts.push_back(text);
  return texts;
}

const Strings kTypeDown = {
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
  wxString upper = W("Email_Combo"), wrongCase = W("EMAIL_COMBO");
  EXPECT_NE(FindSchemaType(upper), combo);
  EXPECT_EQ(Bytes(FindSchemaType(upper)->GetName()), "Email_Combo");
  EXPECT_EQ(FindSchemaType(wrongCase), nullptr);

  // First definition wins: the list section's, then the first tab's.
  ASSERT_NE(GetSchemaAttr("cn"), nullptr);
  EXPECT_EQ(Bytes(GetSchemaAttr("cn")->GetDisplay()), "list cn");
  ASSERT_NE(GetSchemaAttr("title"), nullptr);
  EXPECT_EQ(Bytes(GetSchemaAttr("title")->GetDisplay()), "tab title");
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
  EXPECT_EQ(Texts(names), (std::vector<std::string>{"aaa", "boxonly", "cn", "mail", "title"}));
  EXPECT_EQ(GetSchemaAttrNameList(), names);  // built once
  EXPECT_EQ(Texts(GetSchemaTypeDownList()), kTypeDown);

  // Missing file: the same seven type-down names, and nothing else to find.
  Unload();
  ASSERT_EQ(remove(SchemaPath().c_str()), 0);
  EXPECT_EQ(Texts(GetSchemaTypeDownList()), kTypeDown);
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

// The message after SchemaMapImportedAttributes, as key=value texts in the message's order.
Strings Mapped(std::initializer_list<std::pair<const char*, const char*>> values) {
  IPCMessage* message = IPC_NewMessage();
  for (const auto& value : values) IPC_MessageSetValue(message, value.first, value.second);
  SchemaMapImportedAttributes(message);
  Strings result;
  for (int i = 0; i < IPC_MessageGetCount(message); i++)
    result.push_back(std::string(IPC_MessageGetKeyAt(message, i)) + "=" + IPC_MessageGetValueAt(message, i));
  IPC_DestroyMessage(message);
  return result;
}

TEST_F(SchemaRegistryTest, ImportMapping) {
  EXPECT_EQ(Mapped({{"A", "a"}}), (Strings{"A=a", "xmozillamapped=1"}));  // nothing registered
  WriteSchema(
      "personal { }\ndirectory { }\nlist { }\nedit { }\nuab { }\n"
      "map {\n"
      "  attr \"A\" \"B\" set_attr = \"K:V\";\n"
      "  attr \"First\" \"givenname\";\n"
      "  attr \"Flag\" \"flagged\" set_attr = \"nocolon\";\n"
      "  attr \"Url\" \"homeurl\" set_attr = \"urlset:yes:really\";\n"
      "}\n");
  EXPECT_EQ(Mapped({{"A", "a"}}), (Strings{"A=a", "xmozillamapped=1"}));  // mapping does not load
  ASSERT_NE(GetSchemaBookList(), nullptr);

  // The imported keys stay; set_attr sets its key unless it has a value, to the empty text without a
  // colon, and to everything after the first colon.
  EXPECT_EQ(Mapped({{"A", "a"}, {"First", "Ada"}, {"Flag", "on"}, {"Url", "http://x/"}, {"urlset", "kept"}}),
            (Strings{"A=a", "First=Ada", "Flag=on", "Url=http://x/", "urlset=kept", "B=a", "K=V",
                     "givenname=Ada", "flagged=on", "nocolon=", "homeurl=http://x/", "xmozillamapped=1"}));
  EXPECT_EQ(Mapped({{"K", "mine"}, {"A", "x"}}), (Strings{"K=mine", "A=x", "B=x", "xmozillamapped=1"}));
  EXPECT_EQ(Mapped({{"Url", "u"}}), (Strings{"Url=u", "homeurl=u", "urlset=yes:really", "xmozillamapped=1"}));
  EXPECT_EQ(Mapped({{"Other", "x"}}), (Strings{"Other=x", "xmozillamapped=1"}));
}

}  // namespace
}  // namespace test
}  // namespace zr

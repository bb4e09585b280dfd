// Loading schema files: the sample's whole object tree, registration up to an error, error texts with and
// without a translation, and the load-once rule.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <thread>
#include <vector>

#include "Prefs.h"
#include "SchemaLoader.h"
#include "SchemaRegistry.h"
#include "SchemaTestSupport.h"

namespace zr {
namespace test {
namespace {

wxString W(const char* text) { return wxString::From8BitData(text); }

std::string Bytes(const wxString& text) {
  wxCharBuffer buffer = text.To8BitData();
  return std::string(buffer.data(), buffer.length());
}

template <typename T>
std::vector<T> Items(List<T>* list) {
  std::vector<T> items;
  if (!list) return items;
  ListIterator<T> it(*list);
  for (it.First(); !it.IsDone(); it.Next()) items.push_back(it.CurrentItem());
  return items;
}

std::vector<std::string> AttrNames(List<SchemaAttr*>* list) {
  std::vector<std::string> names;
  for (SchemaAttr* attr : Items(list)) names.push_back(Bytes(attr->GetAttr()));
  return names;
}

const char kEmptySections[] = "personal { }\ndirectory { }\nlist { }\nedit { }\nuab { }\nmap { }\n";

using SchemaParserTest = SchemaTest;

TEST_F(SchemaParserTest, SampleSchemaBuildsTheWholeTree) {
  UseSampleSchema();
  std::shared_ptr<ListenerRecord> errors = RegisterCountingListener();

  std::vector<SchemaBook*> books = Items(GetSchemaBookList());
  ASSERT_EQ(books.size(), 3u);
  EXPECT_EQ(Bytes(books[0]->GetName()), "Personal Address Book");
  EXPECT_EQ(Bytes(books[2]->GetName()), "Team Contacts");

  std::vector<SchemaDirectory*> dirs = Items(GetSchemaDirectoryList());
  ASSERT_EQ(dirs.size(), 4u);
  EXPECT_EQ(Bytes(dirs[1]->GetName()), "Company Directory (secure)");
  EXPECT_EQ(Bytes(dirs[1]->GetHost()), "ldap.example.com");
  EXPECT_EQ(Bytes(dirs[1]->GetRoot()), "o=Example,c=US");
  EXPECT_EQ(dirs[1]->GetModifierLong(W("port"), 0), 636);
  EXPECT_EQ(Bytes(dirs[1]->GetModifier(W("ssl"))), "true");
  EXPECT_EQ(dirs[2]->GetModifierLong(W("timeout"), 0), 30);
  EXPECT_EQ(dirs[3]->GetModifierLong(W("port"), 389), 389);

  std::vector<SchemaAttr*> attrs = Items(GetSchemaAttrList());
  ASSERT_EQ(attrs.size(), 27u);
  EXPECT_EQ(Bytes(attrs[0]->GetAttr()), "cn");
  EXPECT_EQ(Bytes(attrs[0]->GetModifier(W("required"))), "true");
  EXPECT_EQ(attrs[0]->GetModifierLong(W("size"), 0), 40);
  EXPECT_EQ(Bytes(attrs[26]->GetAttr()), "xmozillausehtmlmail");
  EXPECT_EQ(Bytes(attrs[26]->GetModifierString(W("default"), W("x"))), "false");
  for (SchemaAttr* attr : attrs) EXPECT_EQ(attr->GetType(), 1);

  SchemaType* email = FindEmailComboSchemaType();
  ASSERT_NE(email, nullptr);
  EXPECT_EQ(email->GetType(), 3);
  EXPECT_EQ(AttrNames(email->GetAttrs()),
            (std::vector<std::string>{"mail", "mailalternateaddress", "email3"}));
  EXPECT_EQ(Bytes(email->GetAttrs()->GetHead()->GetDisplay()), "Work e-mail");
  wxString phoneName = W("phone_combo");
  SchemaType* phone = FindSchemaType(phoneName);
  ASSERT_NE(phone, nullptr);
  EXPECT_EQ(phone->GetSize(), 5);
  EXPECT_EQ(Bytes(phone->GetAttrs()->GetHead()->GetModifier(W("default"))), "true");
  // Combo attributes are objects of their own, not those of the list section.
  EXPECT_NE(email->GetAttrs()->GetHead(), attrs[4]);

  std::vector<SchemaTab*> tabs = Items(GetSchemaTabList());
  ASSERT_EQ(tabs.size(), 4u);
  EXPECT_EQ(Bytes(tabs[0]->GetName()), "name");
  EXPECT_EQ(Bytes(tabs[3]->GetName()), "other");
  std::vector<SchemaEntry*> nameEntries = Items(tabs[0]->GetEntries());
  ASSERT_EQ(nameEntries.size(), 3u);
  EXPECT_EQ(nameEntries[0]->GetType(), 1);
  EXPECT_EQ(nameEntries[1]->GetType(), 2);
  EXPECT_EQ(nameEntries[2]->GetType(), 1);
  SchemaBox* person = static_cast<SchemaBox*>(nameEntries[1]);
  EXPECT_EQ(Bytes(person->GetName()), "person");
  EXPECT_EQ(person->GetModifierLong(W("columns"), 0), 2);
  EXPECT_EQ(AttrNames(person->GetAttrs()), (std::vector<std::string>{"givenname", "sn", "xmozillanickname"}));

  std::vector<SchemaEntry*> contact = Items(tabs[1]->GetEntries());
  ASSERT_EQ(contact.size(), 3u);
  for (SchemaEntry* entry : contact) EXPECT_EQ(entry->GetType(), 2);
  EXPECT_EQ(Bytes(contact[0]->GetModifier(W("combotype"))), "email_combo");
  EXPECT_EQ(static_cast<SchemaBox*>(contact[1])->GetSize(), 5);
  EXPECT_EQ(static_cast<SchemaBox*>(contact[2])->GetModifiers()->GetSize(), 0);

  SchemaUABSync* sync = GetSchemaUABSync();
  ASSERT_NE(sync, nullptr);
  EXPECT_EQ(AttrNames(sync->GetAttrs()),
            (std::vector<std::string>{"cn", "givenname", "sn", "mail", "telephonenumber", "nuouid"}));

  std::vector<SchemaAttr*> map = Items(GetSchemaMapAttrList());
  ASSERT_EQ(map.size(), 10u);
  EXPECT_EQ(Bytes(map[4]->GetAttr()), "E-mail Address");
  EXPECT_EQ(Bytes(map[4]->GetDisplay()), "mail");
  EXPECT_EQ(Bytes(map[4]->GetModifier(W("set_attr"))), "xmozillausehtmlmail:false");
  EXPECT_STREQ(GetSchemaDirectoryScreenNameAttr(), "Screen Name");

  EXPECT_EQ(errors->CallCount(), 0);
  EXPECT_EQ(TheSchemaLoadState().errors, nullptr);
}

TEST_F(SchemaParserTest, EmptySectionsRegisterEmptyLists) {
  WriteSchema(kEmptySections);
  std::shared_ptr<ListenerRecord> errors = RegisterCountingListener();
  ASSERT_NE(GetSchemaBookList(), nullptr);
  EXPECT_EQ(GetSchemaBookList()->GetSize(), 0);
  ASSERT_NE(GetSchemaDirectoryList(), nullptr);
  EXPECT_EQ(GetSchemaDirectoryList()->GetSize(), 0);
  ASSERT_NE(GetSchemaAttrList(), nullptr);
  EXPECT_EQ(GetSchemaAttrList()->GetSize(), 0);
  ASSERT_NE(GetSchemaTabList(), nullptr);
  EXPECT_EQ(GetSchemaTabList()->GetSize(), 0);
  ASSERT_NE(GetSchemaMapAttrList(), nullptr);
  EXPECT_EQ(GetSchemaMapAttrList()->GetSize(), 0);
  ASSERT_NE(GetSchemaUABSync(), nullptr);
  ASSERT_NE(GetSchemaUABSync()->GetAttrs(), nullptr);
  EXPECT_EQ(GetSchemaUABSync()->GetAttrs()->GetSize(), 0);
  EXPECT_EQ(FindEmailComboSchemaType(), nullptr);  // the type list exists and is empty
  EXPECT_EQ(errors->CallCount(), 0);
}

// The text a listener gets for a parse error at line under the test catalogue.
std::string ParseErrorText(const std::string& path, int line) {
  return "Erreur dans " + path + " : ligne " + std::to_string(line) + " : parse error\n";
}

TEST_F(SchemaParserTest, WindowsLineEndsLoad) {
  UseCatalogue("schema_messages");
  std::shared_ptr<ListenerRecord> errors = RegisterCountingListener();
  WriteSchema(
      "personal {\r\n  book \"A\";\r\n}\r\ndirectory { }\r\nlist { }\r\nedit { }\r\nuab { }\r\nmap { }\r\n");
  ASSERT_NE(GetSchemaBookList(), nullptr);
  EXPECT_EQ(GetSchemaBookList()->GetSize(), 1);
  EXPECT_NE(GetSchemaMapAttrList(), nullptr);
  EXPECT_EQ(errors->CallCount(), 0);

  Unload();
  WriteSchema("personal {\r\n}\r\n\r\nlist { }\r\n");
  EXPECT_NE(GetSchemaBookList(), nullptr);
  EXPECT_EQ(errors->Calls(),
            (std::vector<std::string>{"OnSchemaError(" + ParseErrorText(SchemaPath(), 4) + ")"}));
}

TEST_F(SchemaParserTest, BookNamesMustBeQuoted) {
  UseCatalogue("schema_messages");
  std::shared_ptr<ListenerRecord> errors = RegisterCountingListener();
  WriteSchema("personal { book \"Friends\"; }\ndirectory { }\nlist { }\nedit { }\nuab { }\nmap { }\n");
  ASSERT_NE(GetSchemaBookList(), nullptr);
  ASSERT_EQ(GetSchemaBookList()->GetSize(), 1);
  EXPECT_EQ(Bytes(GetSchemaBookList()->GetHead()->GetName()), "Friends");
  EXPECT_EQ(errors->CallCount(), 0);

  Unload();
  WriteSchema("personal {\n  book Friends;\n}\ndirectory { }\nlist { }\nedit { }\nuab { }\nmap { }\n");
  EXPECT_EQ(GetSchemaBookList(), nullptr);
  EXPECT_EQ(errors->Calls(),
            (std::vector<std::string>{"OnSchemaError(" + ParseErrorText(SchemaPath(), 2) + ")"}));
}

TEST_F(SchemaParserTest, SectionsOutOfOrderStopAtTheOffendingWord) {
  UseCatalogue("schema_messages");
  std::shared_ptr<ListenerRecord> errors = RegisterCountingListener();
  WriteSchema(
      "# books first\n"
      "personal { book \"A\"; }\n"
      "# then, wrongly, the list section\n"
      "\n"
      "list { attr \"cn\" \"cn\"; }\n"
      "directory { }\nedit { }\nuab { }\nmap { }\n");
  ASSERT_NE(GetSchemaBookList(), nullptr);
  EXPECT_EQ(GetSchemaBookList()->GetSize(), 1);
  EXPECT_EQ(GetSchemaDirectoryList(), nullptr);
  EXPECT_EQ(GetSchemaAttrList(), nullptr);
  EXPECT_EQ(GetSchemaTabList(), nullptr);
  EXPECT_EQ(GetSchemaUABSync(), nullptr);
  EXPECT_EQ(GetSchemaMapAttrList(), nullptr);
  ASSERT_NE(TheSchemaLoadState().errors, nullptr);
  EXPECT_EQ(Bytes(*TheSchemaLoadState().errors), "ligne 5 : parse error\n");
  EXPECT_EQ(errors->Calls(),
            (std::vector<std::string>{"OnSchemaError(" + ParseErrorText(SchemaPath(), 5) + ")"}));

  // A keyword cannot be a modifier key: the list section is not registered, the ones before it are.
  Unload();
  WriteSchema(
      "personal { }\ndirectory {\n  dir \"D\" \"h\" \"r\" port = \"389\";\n}\n"
      "list {\n  attr \"cn\" \"cn\" size = \"4\";\n  attr \"mail\" \"mail\" box = \"1\";\n}\n"
      "edit { }\nuab { }\nmap { }\n");
  ASSERT_NE(GetSchemaDirectoryList(), nullptr);
  EXPECT_EQ(GetSchemaDirectoryList()->GetSize(), 1);
  EXPECT_NE(GetSchemaBookList(), nullptr);
  EXPECT_EQ(GetSchemaAttrList(), nullptr);
  ASSERT_EQ(errors->CallCount(), 2);
  EXPECT_EQ(errors->Calls()[1], "OnSchemaError(" + ParseErrorText(SchemaPath(), 7) + ")");
}

TEST_F(SchemaParserTest, RegistrationFollowsTheFile) {
  std::shared_ptr<ListenerRecord> errors = RegisterCountingListener();
  const std::string head =
      "personal { book \"B\"; }\ndirectory { dir \"D\" \"h\" \"r\"; }\nlist { attr \"cn\" \"cn\"; }\n";

  // An error inside the edit section: everything before the tabs is registered, with the combos parsed.
  WriteSchema(head + "combo \"email_combo\" { attr \"mail\" \"Work\"; }\n" +
              "edit {\n  tab \"name\" { attr \"cn\" \"cn\"; box \"b\" { attr \"sn\" \"sn\"; } }\n  tab \"x\" "
              "{ ; }\n}\n" +
              "uab { }\nmap { }\n");
  EXPECT_EQ(GetSchemaBookList()->GetSize(), 1);
  EXPECT_EQ(GetSchemaDirectoryList()->GetSize(), 1);
  EXPECT_EQ(GetSchemaAttrList()->GetSize(), 1);
  ASSERT_NE(FindEmailComboSchemaType(), nullptr);
  EXPECT_EQ(GetSchemaTabList(), nullptr);
  EXPECT_EQ(GetSchemaUABSync(), nullptr);
  EXPECT_EQ(GetSchemaMapAttrList(), nullptr);
  // Without a translation the format is the key itself: no path, no detail.
  EXPECT_EQ(errors->Calls(), (std::vector<std::string>{"OnSchemaError(schema.parseErrorFormat)"}));
  EXPECT_EQ(Bytes(*TheSchemaLoadState().errors), "schema.yyerrorparse error\n");

  // The type list exists as soon as the list section is complete, before any combo.
  Unload();
  WriteSchema(head + "tab \"early\" { }\n");
  EXPECT_EQ(GetSchemaAttrList()->GetSize(), 1);
  EXPECT_EQ(FindEmailComboSchemaType(), nullptr);
  wxString none = W("none");
  EXPECT_EQ(FindSchemaType(none), nullptr);
  Unload();
  WriteSchema(head + "combo \"first\" { attr \"a\" \"a\"; }\ncombo \"second\" { attr \"b\" \"b\" ; attr }\n");
  wxString first = W("first"), second = W("second");
  EXPECT_NE(FindSchemaType(first), nullptr);
  EXPECT_EQ(FindSchemaType(second), nullptr);

  // The sync set is registered when "uab" is read, before its attributes.
  Unload();
  WriteSchema(head + "edit { }\nuab { attr \"cn\" \"cn\"; attr \"sn\" }\nmap { }\n");
  ASSERT_NE(GetSchemaTabList(), nullptr);
  ASSERT_NE(GetSchemaUABSync(), nullptr);
  EXPECT_EQ(GetSchemaUABSync()->GetAttrs(), nullptr);
  EXPECT_EQ(GetSchemaMapAttrList(), nullptr);

  // A word after the map section: all seven parts registered, and still a parse error.
  Unload();
  WriteSchema(head + "edit { }\nuab { }\nmap { attr \"Screen Name\" \"nuouid\"; }\ntrailing\n");
  int before = errors->CallCount();
  EXPECT_NE(GetSchemaBookList(), nullptr);
  EXPECT_NE(GetSchemaDirectoryList(), nullptr);
  EXPECT_NE(GetSchemaAttrList(), nullptr);
  EXPECT_NE(GetSchemaTabList(), nullptr);
  EXPECT_NE(GetSchemaUABSync(), nullptr);
  EXPECT_NE(GetSchemaMapAttrList(), nullptr);
  wxString email = W("email_combo");
  EXPECT_EQ(FindSchemaType(email), nullptr);
  EXPECT_STREQ(GetSchemaDirectoryScreenNameAttr(), "Screen Name");
  EXPECT_EQ(errors->CallCount(), before + 1);
  EXPECT_EQ(Bytes(*TheSchemaLoadState().errors), "schema.yyerrorparse error\n");

  // A lexical error after the first token is a syntax error like any other.
  Unload();
  WriteSchema("personal {\n book \"a\" ( }\n");
  EXPECT_EQ(GetSchemaBookList(), nullptr);
  ASSERT_NE(TheSchemaLoadState().errors, nullptr);
}

TEST_F(SchemaParserTest, MissingFileIsReportedOnceAndNeverRetried) {
  std::shared_ptr<ListenerRecord> errors = RegisterCountingListener();
  EXPECT_EQ(GetSchemaTabList(), nullptr);
  EXPECT_EQ(errors->Calls(), (std::vector<std::string>{"OnSchemaError(schema.openError)"}));

  // The file appearing later changes nothing: the one attempt has been made.
  WriteSchema(kEmptySections);
  EXPECT_EQ(GetSchemaBookList(), nullptr);
  EXPECT_EQ(GetSchemaTabList(), nullptr);
  LoadSchemaFile();
  EXPECT_EQ(errors->CallCount(), 1);
  ASSERT_EQ(GetSchemaTypeDownList()->GetSize(), 7);

  // Translated, the path is in the text, bytes as the catalogue has them.
  Unload();
  ASSERT_EQ(remove(SchemaPath().c_str()), 0);
  UseCatalogue("schema_messages");
  EXPECT_EQ(GetSchemaBookList(), nullptr);
  ASSERT_EQ(errors->CallCount(), 2);
  EXPECT_EQ(errors->Calls()[1], "OnSchemaError(Impossible d'ouvrir le sch\xe9ma " + SchemaPath() + ")");

  // No listener: nothing reported, the same outcome.
  DestroyABSchemaErrorListener();
  Unload();
  EXPECT_EQ(GetSchemaBookList(), nullptr);
  EXPECT_EQ(errors->CallCount(), 2);
  EXPECT_EQ(errors->Releases(), 1);
}

TEST_F(SchemaParserTest, LexicalErrorAsFirstTokenRecordsNothing) {
  std::shared_ptr<ListenerRecord> errors = RegisterCountingListener();
  WriteSchema("# a comment, then white space\n\n   (personal { }\n");
  EXPECT_EQ(GetSchemaBookList(), nullptr);
  EXPECT_EQ(TheSchemaLoadState().errors, nullptr);
  EXPECT_EQ(errors->Calls(), (std::vector<std::string>{"OnSchemaError(schema.parseErrorFormat)"}));

  Unload();
  UseCatalogue("schema_messages");
  EXPECT_EQ(GetSchemaBookList(), nullptr);
  EXPECT_EQ(TheSchemaLoadState().errors, nullptr);
  ASSERT_EQ(errors->CallCount(), 2);
  EXPECT_EQ(errors->Calls()[1], "OnSchemaError(Erreur dans " + SchemaPath() + " : caract\xe8re inattendu)");
}

TEST_F(SchemaParserTest, LongTextsAreCutToTheirBuffers) {
  UseCatalogue("schema_messages");
  std::shared_ptr<ListenerRecord> errors = RegisterCountingListener();
  std::string dir = Dir() + "/" + Repeat('d', 150);
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  Prefs::SetInstallDirectory(dir.c_str());
  std::string path = dir + "/kv_abook.sch";
  FILE* file = fopen(path.c_str(), "w");
  ASSERT_NE(file, nullptr);
  fputs("personal { } list", file);
  fclose(file);

  EXPECT_NE(GetSchemaBookList(), nullptr);
  ASSERT_EQ(errors->CallCount(), 1);
  std::string full = "OnSchemaError(" + ParseErrorText(path, 1);
  std::string call = errors->Calls()[0];
  // 199 bytes of text and the NUL make the 200-byte buffer.
  EXPECT_EQ(call.size(), std::string("OnSchemaError(").size() + 199 + 1);
  EXPECT_EQ(call.substr(0, call.size() - 1), full.substr(0, call.size() - 1));
  ASSERT_EQ(remove(path.c_str()), 0);
  ASSERT_EQ(rmdir(dir.c_str()), 0);
}

// Records the thread of each report.
class ThreadRecordingListener : public ABSchemaErrorListener {
 public:
  explicit ThreadRecordingListener(std::vector<std::thread::id>* threads) : mThreads(threads) {}
  void OnSchemaError(const char*) override { mThreads->push_back(std::this_thread::get_id()); }

 private:
  std::vector<std::thread::id>* mThreads;
};

TEST_F(SchemaParserTest, LoadRunsOnTheQueryingThread) {
  std::vector<std::thread::id> threads;
  RegisterABSchemaErrorListener(new ThreadRecordingListener(&threads));
  WriteSchema("personal { } oops\n");
  std::thread::id queryThread;
  std::thread worker([&] {
    queryThread = std::this_thread::get_id();
    GetSchemaTypeDownList();
  });
  worker.join();
  ASSERT_EQ(threads.size(), 1u);
  EXPECT_EQ(threads[0], queryThread);
  EXPECT_NE(threads[0], std::this_thread::get_id());
  // Loaded by the worker: this thread sees the result and no second attempt.
  EXPECT_NE(GetSchemaBookList(), nullptr);
  EXPECT_EQ(threads.size(), 1u);
}

}  // namespace
}  // namespace test
}  // namespace zr

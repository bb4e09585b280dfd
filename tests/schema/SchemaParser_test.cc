// Loading schema files: the sample's whole object tree, registration up to an error, error texts with and
// without a translation, and the load-once rule.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
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

typedef std::vector<std::string> Strings;

const char kEmptySections[] = "personal { }\ndirectory { }\nlist { }\nedit { }\nuab { }\nmap { }\n";

class SchemaParserTest : public SchemaTest {
 protected:
  // The report of a parse error at line under the test catalogue.
  std::string ParseError(int line) {
    return Reported("Erreur dans " + SchemaPath() + " : ligne " + std::to_string(line) + " : parse error\n");
  }
  // The registered parts of the schema (loading it if needed), each with its size.
  std::string Registered() {
    std::string parts;
    auto add = [&parts](const char* name, int size) {
      parts += (parts.empty() ? "" : " ") + (name + std::to_string(size));
    };
    if (GetSchemaBookList()) add("books", GetSchemaBookList()->GetSize());
    if (GetSchemaDirectoryList()) add("dirs", GetSchemaDirectoryList()->GetSize());
    if (GetSchemaAttrList()) add("attrs", GetSchemaAttrList()->GetSize());
    if (GetSchemaTabList()) add("tabs", GetSchemaTabList()->GetSize());
    if (GetSchemaUABSync())
      add("uab", GetSchemaUABSync()->GetAttrs() ? GetSchemaUABSync()->GetAttrs()->GetSize() : -1);
    if (GetSchemaMapAttrList()) add("map", GetSchemaMapAttrList()->GetSize());
    return parts;
  }
  std::string RecordedErrors() {
    wxString* errors = TheSchemaLoadState().errors;
    return errors ? Bytes(*errors) : "(none)";
  }
};

TEST_F(SchemaParserTest, SampleSchemaBuildsTheWholeTree) {
  UseSampleSchema();
  std::shared_ptr<ListenerRecord> errors = RegisterCountingListener();
  EXPECT_EQ(Registered(), "books3 dirs4 attrs27 tabs4 uab6 map10");
  EXPECT_EQ(errors->CallCount(), 0);
  EXPECT_EQ(RecordedErrors(), "(none)");

  EXPECT_EQ(Bytes(GetSchemaBookList()->GetTail()->GetName()), "Team Contacts");
  SchemaDirectory* secure = Items(GetSchemaDirectoryList())[1];
  EXPECT_EQ(Bytes(secure->GetName() + W("|") + secure->GetHost() + W("|") + secure->GetRoot()),
            "Company Directory (secure)|ldap.example.com|o=Example,c=US");
  EXPECT_EQ(secure->GetModifierLong(W("port"), 0), 636);
  SchemaAttr* cn = GetSchemaAttrList()->GetHead();
  EXPECT_EQ(Bytes(cn->GetAttr()), "cn");
  EXPECT_EQ(cn->GetModifierLong(W("size"), 0), 40);

  SchemaType* email = FindEmailComboSchemaType();
  ASSERT_NE(email, nullptr);
  EXPECT_EQ(email->GetType(), 3);
  EXPECT_EQ(Names(email->GetAttrs()), (Strings{"mail", "mailalternateaddress", "email3"}));
  EXPECT_EQ(Bytes(email->GetAttrs()->GetHead()->GetDisplay()), "Work e-mail");
  // Combo attributes are objects of their own, not those of the list section.
  EXPECT_NE(email->GetAttrs()->GetHead(), Items(GetSchemaAttrList())[4]);
  wxString phone = W("phone_combo");
  ASSERT_NE(FindSchemaType(phone), nullptr);
  EXPECT_EQ(FindSchemaType(phone)->GetSize(), 5);

  std::vector<SchemaEntry*> nameTab = Items(GetSchemaTabList()->GetHead()->GetEntries());
  EXPECT_EQ(Names(GetSchemaTabList()->GetHead()->GetEntries()), (Strings{"cn", "person", "title"}));
  EXPECT_EQ(nameTab[0]->GetType(), 1);
  ASSERT_EQ(nameTab[1]->GetType(), 2);
  SchemaBox* person = static_cast<SchemaBox*>(nameTab[1]);
  EXPECT_EQ(person->GetModifierLong(W("columns"), 0), 2);
  EXPECT_EQ(Names(person->GetAttrs()), (Strings{"givenname", "sn", "xmozillanickname"}));
  EXPECT_EQ(Names(GetSchemaUABSync()->GetAttrs()),
            (Strings{"cn", "givenname", "sn", "mail", "telephonenumber", "nuouid"}));

  SchemaAttr* mapped = Items(GetSchemaMapAttrList())[4];
  EXPECT_EQ(
      Bytes(mapped->GetAttr() + W("|") + mapped->GetDisplay() + W("|") + mapped->GetModifier(W("set_attr"))),
      "E-mail Address|mail|xmozillausehtmlmail:false");
  EXPECT_STREQ(GetSchemaDirectoryScreenNameAttr(), "Screen Name");
}

// Each file loaded on its own, with or without the French catalogue: what is registered (the parts read
// before an error stay), the error text recorded during the load, and its one report, if any.
TEST_F(SchemaParserTest, RegistrationFollowsTheFile) {
  std::shared_ptr<ListenerRecord> errors = RegisterCountingListener();
  const std::string head =
      "personal { book \"B\"; }\ndirectory { dir \"D\" \"h\" \"r\"; }\nlist { attr \"cn\" \"cn\"; }\n";
  const std::string rest = "directory { }\nlist { }\nedit { }\nuab { }\nmap { }\n";
  const std::string unexpected = "# a comment, then white space\n\n   (personal { }\n";
  const std::string untranslated = Reported("schema.parseErrorFormat");
  wxString first = W("first"), second = W("second");
  const struct {
    const char* what;
    bool french;
    std::string content;
    const char* registered;
    const char* recorded;  // during the load
    std::string report;    // "": none
    std::function<void()> more = nullptr;
  } cases[] = {
      {"empty sections", false, kEmptySections, "books0 dirs0 attrs0 tabs0 uab0 map0", "(none)", "",
       [] { EXPECT_EQ(FindEmailComboSchemaType(), nullptr); }},
      {"a Latin-1 book name", true, "personal { book \"Fr\xe8res\"; }\n" + rest,
       "books1 dirs0 attrs0 tabs0 uab0 map0", "(none)", "",
       [] {
         EXPECT_EQ(Bytes(GetSchemaBookList()->GetHead()->GetName()), "Fr\xe8res");
       }},  // whatever the locale
      {"a book name must be quoted", true, "personal {\n  book Friends;\n}\n" + rest, "",
       "ligne 2 : parse error\n", ParseError(2)},
      {"sections out of order stop at the offending word", true,
       "# books first\npersonal { book \"A\"; }\n# then, wrongly, the list section\n\n"
       "list { attr \"cn\" \"cn\"; }\ndirectory { }\nedit { }\nuab { }\nmap { }\n",
       "books1", "ligne 5 : parse error\n", ParseError(5)},
      {"a keyword cannot be a modifier key", true,
       "personal { }\ndirectory {\n  dir \"D\" \"h\" \"r\" port = \"389\";\n}\n"
       "list {\n  attr \"cn\" \"cn\" size = \"4\";\n  attr \"mail\" \"mail\" box = \"1\";\n}\n"
       "edit { }\nuab { }\nmap { }\n",
       "books0 dirs1", "ligne 7 : parse error\n", ParseError(7)},
      // Without a translation the format is the key itself: no path, no detail.
      {"an error in the edit section keeps the combos", false,
       head + "combo \"email_combo\" { attr \"mail\" \"Work\"; }\n" +
           "edit {\n  tab \"name\" { attr \"cn\" \"cn\"; box \"b\" { attr \"sn\" \"sn\"; } }\n  tab \"x\" { "
           "; }\n}\n" +
           "uab { }\nmap { }\n",
       "books1 dirs1 attrs1", "schema.yyerrorparse error\n", untranslated,
       [] { EXPECT_NE(FindEmailComboSchemaType(), nullptr); }},
      // The type list exists as soon as the list section is complete.
      {"an error in the second combo keeps the first", false,
       head + "combo \"first\" { attr \"a\" \"a\"; }\ncombo \"second\" { attr \"b\" \"b\" ; attr }\n",
       "books1 dirs1 attrs1", "schema.yyerrorparse error\n", untranslated,
       [&] {
         EXPECT_NE(FindSchemaType(first), nullptr);
         EXPECT_EQ(FindSchemaType(second), nullptr);
       }},
      {"the sync set is registered when \"uab\" is read", false,
       head + "edit { }\nuab { attr \"cn\" \"cn\"; attr \"sn\" }\nmap { }\n",
       "books1 dirs1 attrs1 tabs0 uab-1", "schema.yyerrorparse error\n", untranslated},
      {"a word after the map section", false,
       head + "edit { }\nuab { }\nmap { attr \"Screen Name\" \"nuouid\"; }\ntrailing\n",
       "books1 dirs1 attrs1 tabs0 uab0 map1", "schema.yyerrorparse error\n", untranslated,
       [] { EXPECT_STREQ(GetSchemaDirectoryScreenNameAttr(), "Screen Name"); }},
      {"a lexical error after the first token", false, "personal {\n book \"a\" ( }\n", "",
       "schema.yyerrorparse error\n", untranslated},
      // A lexical error as the first token records nothing.
      {"a lexical error first", false, unexpected, "", "(none)", untranslated},
      {"a lexical error first, translated", true, unexpected, "", "(none)",
       Reported("Erreur dans " + SchemaPath() + " : caract\xe8re inattendu")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Unload();
    if (c.french)
      UseCatalogue("schema_messages");
    else
      DropLocale();
    WriteSchema(c.content);
    const size_t before = errors->Calls().size();
    EXPECT_EQ(Registered(), c.registered);
    EXPECT_EQ(RecordedErrors(), c.recorded);
    const Strings calls = errors->Calls();
    EXPECT_EQ(Strings(calls.begin() + static_cast<long>(before), calls.end()),
              c.report.empty() ? Strings{} : Strings{c.report});
    if (c.more) c.more();
  }
}

TEST_F(SchemaParserTest, MissingFileIsReportedOnceAndNeverRetried) {
  std::shared_ptr<ListenerRecord> errors = RegisterCountingListener();
  EXPECT_EQ(GetSchemaTabList(), nullptr);
  EXPECT_EQ(errors->Calls(), Strings{Reported("schema.openError")});

  // The file appearing later changes nothing: the one attempt has been made.
  WriteSchema(kEmptySections);
  EXPECT_EQ(GetSchemaBookList(), nullptr);
  LoadSchemaFile();
  EXPECT_EQ(errors->CallCount(), 1);

  // Translated, the path is in the text, bytes as the catalogue has them.
  Unload();
  ASSERT_EQ(remove(SchemaPath().c_str()), 0);
  UseCatalogue("schema_messages");
  EXPECT_EQ(GetSchemaBookList(), nullptr);
  ASSERT_EQ(errors->CallCount(), 2);
  EXPECT_EQ(errors->Calls()[1], Reported("Impossible d'ouvrir le sch\xe9ma " + SchemaPath()));

  // With the listener gone, nothing is reported to it.
  DestroyABSchemaErrorListener();
  Unload();
  EXPECT_EQ(GetSchemaBookList(), nullptr);
  EXPECT_EQ(errors->CallCount(), 2);
}

TEST_F(SchemaParserTest, LongTextsAreCutToTheirBuffers) {
  UseCatalogue("schema_messages");
  std::shared_ptr<ListenerRecord> errors = RegisterCountingListener();
  std::string dir = Dir() + "/" + std::string(150, 'd');
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  Prefs::SetInstallDirectory(dir.c_str());
  std::string path = dir + "/kv_abook.sch";
  FILE* file = fopen(path.c_str(), "w");
  ASSERT_NE(file, nullptr);
  fputs("personal { } list", file);
  fclose(file);

  EXPECT_NE(GetSchemaBookList(), nullptr);
  ASSERT_EQ(errors->CallCount(), 1);
  std::string full = "OnSchemaError(Erreur dans " + path + " : ligne 1 : parse error\n";
  std::string call = errors->Calls()[0];
  // 199 bytes of text and the NUL make the 200-byte buffer.
  EXPECT_EQ(call.size(), std::string("OnSchemaError(").size() + 199 + 1);
  EXPECT_EQ(call.substr(0, call.size() - 1), full.substr(0, call.size() - 1));

  // The path itself is cut to its 260-byte buffer before the open fails.
  Unload();
  std::string tooLong = dir + "/" + std::string(120, 'e');
  Prefs::SetInstallDirectory(tooLong.c_str());
  EXPECT_EQ(GetSchemaBookList(), nullptr);
  EXPECT_EQ(errors->Calls().back(),
            Reported("Impossible d'ouvrir le sch\xe9ma " + (tooLong + "/kv_abook.sch").substr(0, 259)));
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
  // Loaded by the worker: this thread sees the result and no second attempt.
  EXPECT_NE(GetSchemaBookList(), nullptr);
  EXPECT_EQ(threads.size(), 1u);
}

}  // namespace
}  // namespace test
}  // namespace zr

// Hostile schema files: each must end in a reported parse error, never a crash, a hang or a leak (this
// program also runs under AddressSanitizer, whose leak check covers what the failed parses dropped).
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "SchemaLoader.h"
#include "SchemaRegistry.h"
#include "SchemaTestSupport.h"

namespace zr {
namespace test {
namespace {

const size_t kTenMegabytes = 10u * 1024u * 1024u;
const char kHead[] = "personal { book \"B\"; }\ndirectory { dir \"D\" \"h\" \"r\" port = \"1\"; }\nlist {\n";

class SchemaBadInputTest : public SchemaTest {
 protected:
  // Loads content and answers the one error text the listener got ("" when none).
  std::string LoadAndReport(const std::string& content) {
    Unload();
    WriteSchema(content);
    int before = mErrors->CallCount();
    GetSchemaTabList();
    GetSchemaAttrNameList();
    if (mErrors->CallCount() != before + 1) return "";
    return mErrors->Calls().back();
  }
  void SetUp() override {
    SchemaTest::SetUp();
    mErrors = RegisterCountingListener();
  }
  std::shared_ptr<ListenerRecord> mErrors;
};

TEST_F(SchemaBadInputTest, RandomBytes) {
  std::mt19937 random(20261205);
  for (int round = 0; round < 50; round++) {
    std::string content(1 + random() % 4096, '\0');
    for (char& c : content) c = static_cast<char>(random() & 0xff);
    EXPECT_EQ(LoadAndReport(content), "OnSchemaError(schema.parseErrorFormat)") << "round " << round;
  }
  // Random tokens of the schema's own vocabulary reach deeper into the grammar.
  const char* vocabulary[] = {"personal", "directory", "dir", "book", "list", "attr", "combo", "edit",  "tab",
                              "box",      "uab",       "map", "{",    "}",    ";",    "=",     "\"s\"", "w"};
  for (int round = 0; round < 200; round++) {
    std::string content = kHead;
    int count = 1 + random() % 60;
    for (int i = 0; i < count; i++) content += std::string(vocabulary[random() % 18]) + " ";
    EXPECT_EQ(LoadAndReport(content), "OnSchemaError(schema.parseErrorFormat)") << content;
  }
}

TEST_F(SchemaBadInputTest, HugeStringsAndWords) {
  // One string running to the end of the file: rejected at 48 bytes.
  EXPECT_EQ(LoadAndReport("\"" + Repeat('s', kTenMegabytes)), "OnSchemaError(schema.parseErrorFormat)");
  EXPECT_EQ(TheSchemaLoadState().errors, nullptr);
  // One word: cut into 49-character words, the first of which the grammar refuses.
  EXPECT_EQ(LoadAndReport(Repeat('w', kTenMegabytes) + "\n"), "OnSchemaError(schema.parseErrorFormat)");
  ASSERT_NE(TheSchemaLoadState().errors, nullptr);
  // A huge string as a book name, deep in a valid start.
  EXPECT_EQ(LoadAndReport("personal { book \"" + Repeat('x', 100000) + "\"; }\n"),
            "OnSchemaError(schema.parseErrorFormat)");
  EXPECT_EQ(GetSchemaBookList(), nullptr);
}

TEST_F(SchemaBadInputTest, DeepAndUnterminatedBraces) {
  EXPECT_EQ(LoadAndReport(Repeat('{', 100000)), "OnSchemaError(schema.parseErrorFormat)");
  EXPECT_EQ(LoadAndReport("personal " + Repeat('{', 100000)), "OnSchemaError(schema.parseErrorFormat)");
  EXPECT_EQ(LoadAndReport("personal { book \"a\";\n"), "OnSchemaError(schema.parseErrorFormat)");
  EXPECT_EQ(LoadAndReport(std::string(kHead) + "attr \"a\" \"b\";\n"),
            "OnSchemaError(schema.parseErrorFormat)");
  EXPECT_EQ(GetSchemaAttrList(), nullptr);
  EXPECT_NE(GetSchemaDirectoryList(), nullptr);
  EXPECT_EQ(LoadAndReport(std::string(kHead) + "}\nedit { tab \"t\" { box \"b\" { attr \"a\" \"b\";"),
            "OnSchemaError(schema.parseErrorFormat)");
  EXPECT_EQ(LoadAndReport(Repeat('}', 100000)), "OnSchemaError(schema.parseErrorFormat)");
}

TEST_F(SchemaBadInputTest, NulBytes) {
  EXPECT_EQ(LoadAndReport(std::string(kTenMegabytes, '\0')), "OnSchemaError(schema.parseErrorFormat)");
  // A NUL inside a string ends its text but not the string.
  std::string content = "personal { book \"ab";
  content += '\0';
  content += "cd\"; }\n";
  content += "directory { }\nlist { }\nedit { }\nuab { }\nmap { }\n";
  EXPECT_EQ(LoadAndReport(content), "");
  ASSERT_NE(GetSchemaBookList(), nullptr);
  wxCharBuffer name = GetSchemaBookList()->GetHead()->GetName().To8BitData();
  EXPECT_STREQ(name.data(), "ab");
  // A NUL between tokens is a lexical error.
  EXPECT_EQ(LoadAndReport(std::string("personal {") + '\0' + "}"), "OnSchemaError(schema.parseErrorFormat)");
}

TEST_F(SchemaBadInputTest, TenMegabyteFile) {
  // A list section of some 250000 attributes that never closes: all of them are dropped again.
  std::string content = kHead;
  const std::string line = "  attr \"telephonenumber\" \"telephonenumber\" size = \"20\";\n";
  while (content.size() < kTenMegabytes) content += line;
  EXPECT_EQ(LoadAndReport(content), "OnSchemaError(schema.parseErrorFormat)");
  EXPECT_EQ(GetSchemaAttrList(), nullptr);
  ASSERT_NE(GetSchemaDirectoryList(), nullptr);

  // The same, closed and followed by the other sections, loads.
  content += "}\nedit { }\nuab { }\nmap { }\n";
  EXPECT_EQ(LoadAndReport(content), "");
  ASSERT_NE(GetSchemaAttrList(), nullptr);
  EXPECT_GT(GetSchemaAttrList()->GetSize(), 150000);
  EXPECT_EQ(GetSchemaAttrNameList()->GetSize(), 1);
}

}  // namespace
}  // namespace test
}  // namespace zr

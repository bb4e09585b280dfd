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
  void SetUp() override {
    SchemaTest::SetUp();
    mErrors = RegisterCountingListener();
  }
  // Loads content and answers what it reported, "" for nothing.
  std::string Load(const std::string& content) {
    Unload();
    WriteSchema(content);
    size_t before = mErrors->Calls().size();
    GetSchemaTabList();
    GetSchemaAttrNameList();
    std::string reports;
    for (size_t i = before; i < mErrors->Calls().size(); i++) reports += mErrors->Calls()[i];
    return reports;
  }
  bool Rejected(const std::string& content) { return Load(content) == Reported("schema.parseErrorFormat"); }
  std::shared_ptr<ListenerRecord> mErrors;
};

TEST_F(SchemaBadInputTest, RandomBytes) {
  std::mt19937 random(20261205);
  for (int round = 0; round < 50; round++) {
    std::string content(1 + random() % 4096, '\0');
    for (char& c : content) c = static_cast<char>(random() & 0xff);
    EXPECT_TRUE(Rejected(content)) << "round " << round;
  }
  // Random tokens of the schema's own vocabulary reach deeper into the grammar.
  const char* vocabulary[] = {"personal", "directory", "dir", "book", "list", "attr", "combo", "edit",  "tab",
                              "box",      "uab",       "map", "{",    "}",    ";",    "=",     "\"s\"", "w"};
  for (int round = 0; round < 200; round++) {
    std::string content = kHead;
    int count = 1 + random() % 60;
    for (int i = 0; i < count; i++) content += std::string(vocabulary[random() % 18]) + " ";
    EXPECT_TRUE(Rejected(content)) << content;
  }
}

TEST_F(SchemaBadInputTest, HugeTextsBracesAndNulBytes) {
  // One string running to the end of the file is rejected at 48 bytes, as the first token.
  EXPECT_TRUE(Rejected("\"" + std::string(kTenMegabytes, 's')));
  EXPECT_EQ(TheSchemaLoadState().errors, nullptr);
  // One word is cut into 49-character words, the first of which the grammar refuses.
  EXPECT_TRUE(Rejected(std::string(kTenMegabytes, 'w') + "\n"));
  EXPECT_NE(TheSchemaLoadState().errors, nullptr);
  EXPECT_TRUE(Rejected("personal { book \"" + std::string(100000, 'x') + "\"; }\n"));
  EXPECT_TRUE(Rejected(std::string(kTenMegabytes, '\0')));
  EXPECT_TRUE(Rejected(std::string("personal {") + '\0' + "}"));

  for (const std::string& braces : {std::string(100000, '{'), "personal " + std::string(100000, '{'),
                                    std::string(100000, '}'), std::string("personal { book \"a\";\n")}) {
    EXPECT_TRUE(Rejected(braces)) << braces.substr(0, 20);
  }
  // Unfinished constructs are dropped (ASan's leak check sees them), finished sections stay.
  EXPECT_TRUE(Rejected(std::string(kHead) +
                       "}\nedit { tab \"t\" { box \"b\" k = \"v\" { attr \"a\" \"b\" m = \"1\";"));
  EXPECT_NE(GetSchemaAttrList(), nullptr);
  EXPECT_EQ(GetSchemaTabList(), nullptr);

  // A NUL inside a string ends its text but not the string.
  std::string content = "personal { book \"ab";
  content += '\0';
  content += "cd\"; }\ndirectory { }\nlist { }\nedit { }\nuab { }\nmap { }\n";
  EXPECT_EQ(Load(content), "");
  ASSERT_NE(GetSchemaBookList(), nullptr);
  EXPECT_EQ(Bytes(GetSchemaBookList()->GetHead()->GetName()), "ab");
}

TEST_F(SchemaBadInputTest, TenMegabyteFile) {
  // A list section of some 250000 attributes that never closes: all of them are dropped again.
  std::string content = kHead;
  const std::string line = "  attr \"telephonenumber\" \"telephonenumber\" size = \"20\";\n";
  while (content.size() < kTenMegabytes) content += line;
  EXPECT_TRUE(Rejected(content));
  EXPECT_EQ(GetSchemaAttrList(), nullptr);
  ASSERT_NE(GetSchemaDirectoryList(), nullptr);

  // The same, closed and followed by the other sections, loads.
  content += "}\nedit { }\nuab { }\nmap { }\n";
  EXPECT_EQ(Load(content), "");
  ASSERT_NE(GetSchemaAttrList(), nullptr);
  EXPECT_GT(GetSchemaAttrList()->GetSize(), 150000);
  EXPECT_EQ(GetSchemaAttrNameList()->GetSize(), 1);
}

}  // namespace
}  // namespace test
}  // namespace zr

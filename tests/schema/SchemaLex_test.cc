// The lexer on its own: token codes, the 48-byte string and 49-character word limits, comments and line
// counting, and every way to produce BADTOKEN.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "SchemaLoader.h"
#include "SchemaTestSupport.h"

namespace zr {
namespace test {
namespace {

class SchemaLexTest : public SchemaTest {
 protected:
  // The codes of content's tokens up to the first 0 (and the first BADTOKEN 271, when stopAtBad), with
  // ":text" after a STRING (267) or WORD (268) and, with lines, "@line" (the line once the token is read).
  std::string Tokens(const std::string& content, bool lines = false, bool stopAtBad = true) {
    FILE* file = tmpfile();
    EXPECT_NE(file, nullptr);
    fwrite(content.data(), 1, content.size(), file);
    rewind(file);
    SetSchemaInput(file);
    std::string tokens;
    for (int guard = 0; guard < 1000; guard++) {
      int code = SchemaLex();
      tokens += tokens.empty() ? "" : " ";
      tokens += std::to_string(code);
      if (code == WORD || code == STRING) tokens += std::string(":") + Schemalval.text;
      if (lines) tokens += "@" + std::to_string(TheSchemaLoadState().line);
      if (code == 0 || (stopAtBad && code == BADTOKEN)) break;
    }
    SetSchemaInput(nullptr);
    fclose(file);
    return tokens;
  }
};

TEST_F(SchemaLexTest, TokenCodesAndKeywords) {
  EXPECT_EQ(Tokens("personal directory dir book list attr combo edit tab box uab map { } ; =\t"),
            "257 258 259 260 261 262 263 264 265 266 269 270 123 125 59 61 0");
  // Keywords are exact and case-sensitive; anything else made of word characters is a word.
  EXPECT_EQ(Tokens("Personal attrs _x9 0123 book\n"), "268:Personal 268:attrs 268:_x9 268:0123 260 0");
  // Punctuation and quotes end a word without white space.
  EXPECT_EQ(Tokens("size=\"1\";a\"b\"\n"), "268:size 61 267:1 59 268:a 267:b 0");

  // Keywords and punctuation leave the token value as the last word or string left it.
  Tokens("w book { ");
  EXPECT_STREQ(Schemalval.text, "w");
}

TEST_F(SchemaLexTest, StringLimitIs48Bytes) {
  EXPECT_EQ(Tokens("\"" + std::string(48, 'x') + "\""), "267:" + std::string(48, 'x') + " 0");
  EXPECT_EQ(Tokens("\"" + std::string(49, 'x') + "\""), "271");
  EXPECT_EQ(Tokens("\"\""), "267: 0");
  // No escapes; any byte (keywords, punctuation, '#', Latin-1) is part of a string.
  EXPECT_EQ(Tokens("\"book {;}# \\ \xe9\""), "267:book {;}# \\ \xe9 0");
  // End of file inside a string runs into the limit.
  EXPECT_EQ(Tokens("\"unterminated"), "271");
  EXPECT_EQ(Tokens("\""), "271");
}

TEST_F(SchemaLexTest, WordLimitIs49Characters) {
  EXPECT_EQ(Tokens(std::string(49, 'a') + std::string(11, 'b') + "\n"),
            "268:" + std::string(49, 'a') + " 268:" + std::string(11, 'b') + " 0");
  // The split can produce a keyword.
  EXPECT_EQ(Tokens(std::string(49, 'z') + "box "), "268:" + std::string(49, 'z') + " 266 0");
  // End of file right after a word character is a lexical error.
  EXPECT_EQ(Tokens("personal"), "271");
  EXPECT_EQ(Tokens("x"), "271");
  EXPECT_EQ(Tokens("x "), "268:x 0");
}

TEST_F(SchemaLexTest, BadCharactersAreConsumedOneAtATime) {
  for (const std::string& bad :
       std::vector<std::string>{"(", "-", "\r", "\x01", "\xff", "\"", ",", ".", {'\0'}}) {
    EXPECT_EQ(Tokens(bad + " "), "271") << int(static_cast<unsigned char>(bad[0]));
  }
  EXPECT_EQ(Tokens("(book ", false, false), "271 260 0");
}

TEST_F(SchemaLexTest, CommentsAndLineCounting) {
  // A comment's newline counts; one inside a string does not.
  EXPECT_EQ(Tokens("# first\n\nbook # trailing comment\n  \"a\nb\" \n#\nbox\n", true),
            "260@3 267:a\nb@4 266@6 0@7");
  // End of file inside a comment ends the input.
  EXPECT_EQ(Tokens("book # no newline"), "260 0");
  EXPECT_EQ(Tokens("#"), "0");
  EXPECT_EQ(Tokens(""), "0");
}

TEST_F(SchemaLexTest, CarriageReturnsBeforeNewlinesEndTheLine) {
  EXPECT_EQ(Tokens("book\r\n# comment\r\n\"a\r\nb\"\r\nbox\r\n", true), "260@1 267:a\nb@3 266@4 0@5");
  // A lone carriage return is not white space, also right after a word; inside a string it is a byte.
  EXPECT_EQ(Tokens("book\rbox "), "260 271");
  EXPECT_EQ(Tokens("\"a\rb\" w\r\r\n"), "267:a\rb 268:w 271");
}

}  // namespace
}  // namespace test
}  // namespace zr

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

struct Token {
  int code;
  std::string text;  // STRING and WORD only
  int line;          // line number after the token was read
};

class SchemaLexTest : public SchemaTest {
 protected:
  // Every token of content up to and including the first 0 or BADTOKEN.
  std::vector<Token> Lex(const std::string& content) {
    FILE* file = tmpfile();
    EXPECT_NE(file, nullptr);
    fwrite(content.data(), 1, content.size(), file);
    rewind(file);
    SchemaLoadState& state = TheSchemaLoadState();
    SetSchemaInput(file);
    std::vector<Token> tokens;
    for (int guard = 0; guard < 10000; guard++) {
      int code = SchemaLex();
      std::string text = (code == STRING || code == WORD) ? SchemaTokenText() : "";
      tokens.push_back({code, text, state.line});
      if (code == 0 || code == BADTOKEN) break;
    }
    SetSchemaInput(nullptr);
    fclose(file);
    return tokens;
  }
  std::vector<int> Codes(const std::string& content) {
    std::vector<int> codes;
    for (const Token& token : Lex(content)) codes.push_back(token.code);
    return codes;
  }
};

TEST_F(SchemaLexTest, TokenCodesAndKeywords) {
  EXPECT_EQ(Codes("personal directory dir book list attr combo edit tab box uab map "),
            (std::vector<int>{257, 258, 259, 260, 261, 262, 263, 264, 265, 266, 269, 270, 0}));
  EXPECT_EQ(Codes("{ } ; =\t\"s\" w\n"), (std::vector<int>{123, 125, 59, 61, 267, 268, 0}));
  EXPECT_EQ(BADTOKEN, 271);

  // Keywords are exact and case-sensitive; anything else made of word characters is a word.
  std::vector<Token> tokens = Lex("Personal attrs _x9 0123 book\n");
  ASSERT_EQ(tokens.size(), 6u);
  EXPECT_EQ(tokens[0].code, WORD);
  EXPECT_EQ(tokens[0].text, "Personal");
  EXPECT_EQ(tokens[1].text, "attrs");
  EXPECT_EQ(tokens[2].text, "_x9");
  EXPECT_EQ(tokens[3].text, "0123");
  EXPECT_EQ(tokens[4].code, BOOK);

  // Punctuation ends a word without white space, and a word ends at a quote.
  EXPECT_EQ(Codes("size=\"1\";\n"), (std::vector<int>{WORD, '=', STRING, ';', 0}));
  EXPECT_EQ(Codes("a\"b\"\n"), (std::vector<int>{WORD, STRING, 0}));
}

TEST_F(SchemaLexTest, StringLimitIs48Bytes) {
  std::string s48 = Repeat('x', 48);
  std::vector<Token> tokens = Lex("\"" + s48 + "\"");
  ASSERT_EQ(tokens.size(), 2u);
  EXPECT_EQ(tokens[0].code, STRING);
  EXPECT_EQ(tokens[0].text, s48);

  EXPECT_EQ(Codes("\"" + Repeat('x', 49) + "\""), (std::vector<int>{BADTOKEN}));
  EXPECT_EQ(Codes("\"\""), (std::vector<int>{STRING, 0}));

  // No escapes; any byte (keywords, punctuation, '#', Latin-1) is part of a string.
  tokens = Lex("\"book {;}# \\ \xe9\"");
  ASSERT_EQ(tokens[0].code, STRING);
  EXPECT_EQ(tokens[0].text, "book {;}# \\ \xe9");

  // End of file inside a string runs into the limit.
  EXPECT_EQ(Codes("\"unterminated"), (std::vector<int>{BADTOKEN}));
  EXPECT_EQ(Codes("\""), (std::vector<int>{BADTOKEN}));
}

TEST_F(SchemaLexTest, WordLimitIs49Characters) {
  std::string w60 = Repeat('a', 49) + Repeat('b', 11);
  std::vector<Token> tokens = Lex(w60 + "\n");
  ASSERT_EQ(tokens.size(), 3u);
  EXPECT_EQ(tokens[0].code, WORD);
  EXPECT_EQ(tokens[0].text, Repeat('a', 49));
  EXPECT_EQ(tokens[1].code, WORD);
  EXPECT_EQ(tokens[1].text, Repeat('b', 11));
  EXPECT_EQ(tokens[2].code, 0);

  // The 49-character split can produce a keyword.
  tokens = Lex(Repeat('z', 49) + "box ");
  ASSERT_EQ(tokens.size(), 3u);
  EXPECT_EQ(tokens[1].code, BOX);

  // End of file right after a word character is a lexical error.
  EXPECT_EQ(Codes("personal"), (std::vector<int>{BADTOKEN}));
  EXPECT_EQ(Codes("x"), (std::vector<int>{BADTOKEN}));
  EXPECT_EQ(Codes("x "), (std::vector<int>{WORD, 0}));
}

TEST_F(SchemaLexTest, BadCharactersAreConsumedOneAtATime) {
  for (const char* bad : {"(", "-", "\r", "\x01", "\xff", "\"", ",", "."}) {
    std::vector<int> codes = Codes(std::string(bad) + " ");
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes.front(), BADTOKEN) << int((unsigned char)bad[0]);
  }
  // A NUL byte is not white space either.
  EXPECT_EQ(Codes(std::string("\0 ", 2)), (std::vector<int>{BADTOKEN}));

  // After a bad character the lexer goes on with the next one.
  FILE* file = tmpfile();
  fputs("(book ", file);
  rewind(file);
  SetSchemaInput(file);
  EXPECT_EQ(SchemaLex(), BADTOKEN);
  EXPECT_EQ(SchemaLex(), BOOK);
  EXPECT_EQ(SchemaLex(), 0);
  SetSchemaInput(nullptr);
  fclose(file);
}

TEST_F(SchemaLexTest, CommentsAndLineCounting) {
  std::vector<Token> tokens = Lex("# first\n\nbook # trailing comment\n  \"a\nb\" \n#\nbox\n");
  ASSERT_EQ(tokens.size(), 4u);
  EXPECT_EQ(tokens[0].code, BOOK);
  EXPECT_EQ(tokens[0].line, 3);
  EXPECT_EQ(tokens[1].code, STRING);
  EXPECT_EQ(tokens[1].text, "a\nb");
  EXPECT_EQ(tokens[1].line, 4);  // the newline inside the string does not count
  EXPECT_EQ(tokens[2].code, BOX);
  EXPECT_EQ(tokens[2].line, 6);
  EXPECT_EQ(tokens[3].code, 0);
  EXPECT_EQ(tokens[3].line, 7);

  // End of file inside a comment ends the input.
  EXPECT_EQ(Codes("book # no newline"), (std::vector<int>{BOOK, 0}));
  EXPECT_EQ(Codes("#"), (std::vector<int>{0}));
  EXPECT_EQ(Codes(""), (std::vector<int>{0}));
}

TEST_F(SchemaLexTest, CarriageReturnsBeforeNewlinesEndTheLine) {
  std::vector<Token> tokens = Lex("book\r\n# comment\r\n\"a\r\nb\"\r\nbox\r\n");
  ASSERT_EQ(tokens.size(), 4u);
  EXPECT_EQ(tokens[0].code, BOOK);
  EXPECT_EQ(tokens[1].code, STRING);
  EXPECT_EQ(tokens[1].text, "a\nb");
  EXPECT_EQ(tokens[2].code, BOX);
  EXPECT_EQ(tokens[2].line, 4);
  EXPECT_EQ(tokens[3].code, 0);
  EXPECT_EQ(tokens[3].line, 5);

  // A lone carriage return is not white space, also right after a word; inside a string it is a byte.
  EXPECT_EQ(Codes("book\rbox "), (std::vector<int>{BOOK, BADTOKEN}));
  EXPECT_EQ(Codes("\r "), (std::vector<int>{BADTOKEN}));
  tokens = Lex("\"a\rb\" w\r\r\n");
  ASSERT_EQ(tokens.size(), 3u);
  EXPECT_EQ(tokens[0].text, "a\rb");
  EXPECT_EQ(tokens[1].text, "w");
  EXPECT_EQ(tokens[2].code, BADTOKEN);
}

}  // namespace
}  // namespace test
}  // namespace zr

// The schema file's lexer. Strings hold at most 48 bytes and words at most 49 characters, so every text
// fits the token value's 50-byte buffer.
#include <cstring>

#include "SchemaLoader.h"

namespace {

const int kMaxString = 48;
const int kMaxWord = 49;

struct Keyword {
  const char* word;
  int token;
};
const Keyword kKeywords[] = {
    {"personal", PERSONAL}, {"directory", DIRECTORY},
    {"dir", DIR},           {"book", BOOK},
    {"list", LIST},         {"attr", ATTR},
    {"combo", COMBO},       {"edit", EDIT},
    {"tab", TAB},           {"box", BOX},
    {"uab", UAB},           {"map", MAP},
};

// Plain ASCII ranges: the process locale must not decide what a word is.
bool IsWordChar(int c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

int LexString(FILE* in) {
  char* text = Schemalval.text;
  int length = 0;
  for (;;) {
    int c = getc(in);
    if (c == '"') break;
    // End of file is not told apart here: it counts as a byte until the limit rejects the string.
    if (length == kMaxString) return BADTOKEN;
    text[length++] = static_cast<char>(c);
  }
  text[length] = '\0';
  return STRING;
}

int LexWord(FILE* in, int first) {
  if (!IsWordChar(first)) return BADTOKEN;
  char word[kMaxWord + 1];
  int length = 0;
  word[length++] = static_cast<char>(first);
  int c;
  for (;;) {
    c = getc(in);
    if (c == EOF) return BADTOKEN;
    if (!IsWordChar(c) || length == kMaxWord) break;
    word[length++] = static_cast<char>(c);
  }
  ungetc(c, in);
  word[length] = '\0';
  for (const Keyword& keyword : kKeywords) {
    if (strcmp(word, keyword.word) == 0) return keyword.token;
  }
  memcpy(Schemalval.text, word, length + 1);
  return WORD;
}

}  // namespace

int SchemaLex() {
  SchemaLoadState& state = TheSchemaLoadState();
  FILE* in = state.input;
  for (;;) {
    int c = getc(in);
    switch (c) {
      case EOF:
        return 0;
      case '\n':
        state.line++;
        break;
      case ' ':
      case '\t':
        break;
      case '#':
        do {
          c = getc(in);
        } while (c != '\n' && c != EOF);
        if (c == EOF) return 0;
        state.line++;
        break;
      case ';':
      case '=':
      case '{':
      case '}':
        return c;
      case '"':
        return LexString(in);
      default:
        return LexWord(in, c);
    }
  }
}

const char* SchemaTokenText() { return Schemalval.text; }

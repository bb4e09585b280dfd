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

// The file is text: a carriage return before a newline belongs to the line end, as in a text-mode read;
// any other carriage return stays a byte of its own.
int ReadByte(SchemaLoadState& state) {
  if (state.pushedCount > 0) return state.pushedBack[--state.pushedCount];
  int c = getc(state.input);
  if (c != '\r') return c;
  int next = getc(state.input);
  if (next == '\n') return '\n';
  if (next != EOF) state.pushedBack[state.pushedCount++] = next;
  return c;
}

void PushBack(SchemaLoadState& state, int c) {
  if (c != EOF) state.pushedBack[state.pushedCount++] = c;
}

// Plain ASCII ranges: the process locale must not decide what a word is.
bool IsWordChar(int c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

int LexString(SchemaLoadState& state) {
  char* text = Schemalval.text;
  int length = 0;
  for (;;) {
    int c = ReadByte(state);
    if (c == '"') break;
    // End of file is not told apart here: it counts as a byte until the limit rejects the string.
    if (length == kMaxString) return BADTOKEN;
    text[length++] = static_cast<char>(c);
  }
  text[length] = '\0';
  return STRING;
}

int LexWord(SchemaLoadState& state, int first) {
  if (!IsWordChar(first)) return BADTOKEN;
  char word[kMaxWord + 1];
  int length = 0;
  word[length++] = static_cast<char>(first);
  int c;
  for (;;) {
    c = ReadByte(state);
    if (c == EOF) return BADTOKEN;
    if (!IsWordChar(c) || length == kMaxWord) break;
    word[length++] = static_cast<char>(c);
  }
  PushBack(state, c);
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
  for (;;) {
    int c = ReadByte(state);
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
          c = ReadByte(state);
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
        return LexString(state);
      default:
        return LexWord(state, c);
    }
  }
}

void SetSchemaInput(FILE* file) {
  SchemaLoadState& state = TheSchemaLoadState();
  state.input = file;
  state.line = 1;
  state.pushedCount = 0;
}

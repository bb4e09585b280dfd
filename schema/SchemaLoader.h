// The schema file's loader, lexer, parser and reordering step. Internal: applications reach the schema
// through SchemaRegistry.h, whose queries call LoadSchemaFile. Not installed.
//
// The loader keeps process-wide state without locks; the load runs on the thread of the first query.
#ifndef ZRAPPAPI_SCHEMALOADER_H
#define ZRAPPAPI_SCHEMALOADER_H

#include <wx/string.h>

#include <cstdio>

#include "List.h"
#include "SchemaEntry.h"
#include "SchemaGrammar.hh"  // token codes and the token value

// What the loader, lexer and parser share while the one load runs.
struct SchemaLoadState {
  FILE* input = nullptr;       // set only while parsing
  int line = 0;                // current line of the input
  int pushedBack[2] = {0, 0};  // bytes the lexer has read ahead, last pushed first out
  int pushedCount = 0;
  wxString* errors = nullptr;  // accumulated parse errors; created empty on the first one
  bool attempted = false;      // the file is tried at most once per process
};
SchemaLoadState& TheSchemaLoadState();

// Makes file the lexer's input, from line 1 (null ends it).
void SetSchemaInput(FILE* file);

// Ensures the one load attempt of this process has happened.
void LoadSchemaFile();
// The next token of TheSchemaLoadState().input; STRING and WORD leave their text in Schemalval.text.
int SchemaLex();
// 0 accepted, 1 rejected, 2 parser stack exhausted.
int SchemaParse();
// Records message with the current line number.
void SchemaParseError(const char* message);

// Reorders tab entries and box attributes by the "reorderAbookAttr" and "reorderAbookBoxAttr" translations.
void ReorderSchemaEntries();
// Reorders list by the '/'-separated names of order, when the names match exactly as many items; items left
// out are moved to dropped (when given) so that they stay alive.
void ReorderSchemaList(List<SchemaEntry*>* list, const char* order, List<SchemaEntry*>* dropped = nullptr);
void ReorderSchemaList(List<SchemaAttr*>* list, const char* order, List<SchemaAttr*>* dropped = nullptr);

#endif

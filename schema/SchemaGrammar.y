/* The schema file's grammar. Lists are left-recursive, so the stack stays shallow; there is no error
   recovery: the first syntax error ends the parse. Registration happens in the reductions, so what was
   parsed before an error stays registered; symbols still on the stack are freed by the destructors below. */

%define api.prefix {Schema}

%code requires {
#include "List.h"
class SchemaAttr;
class SchemaBook;
class SchemaBox;
class SchemaDirectory;
class SchemaEntry;
class SchemaModifier;
class SchemaTab;
class SchemaType;
class SchemaUABSync;
}

%code {
#include <cstring>

#include "SchemaBook.h"
#include "SchemaDirectory.h"
#include "SchemaEntry.h"
#include "SchemaInternal.h"
#include "SchemaLoader.h"
#include "SchemaRegistry.h"
#include "SchemaTab.h"
#include "SchemaUABSync.h"

#define YYINITDEPTH 200
#define YYMAXDEPTH 10000

using zr_schema::FromBytes;

static int Schemalex() { return SchemaLex(); }

static void Schemaerror(const char* message) {
  SchemaParseError(strcmp(message, "memory exhausted") == 0 ? "parser stack overflow" : "parse error");
}
}

%union {
  char text[50];
  List<SchemaBook*>* books;
  SchemaBook* book;
  List<SchemaDirectory*>* directories;
  SchemaDirectory* directory;
  List<SchemaType*>* types;
  SchemaType* type;
  List<SchemaAttr*>* attrs;
  SchemaAttr* attr;
  List<SchemaModifier*>* modifiers;
  SchemaModifier* modifier;
  List<SchemaTab*>* tabs;
  SchemaTab* tab;
  List<SchemaEntry*>* entries;
  SchemaBox* box;
  SchemaUABSync* uab;
}

%token PERSONAL 257 DIRECTORY 258 DIR 259 BOOK 260 LIST 261 ATTR 262 COMBO 263 EDIT 264 TAB 265 BOX 266
%token <text> STRING 267 WORD 268
%token UAB 269 MAP 270 BADTOKEN 271

%type <books> book_list
%type <book> book
%type <directories> directory_list
%type <directory> directory
%type <types> combo_list
%type <type> combo
%type <attrs> attribute_list
%type <attr> attribute
%type <modifiers> modifier_list
%type <modifier> modifier
%type <tabs> tab_list
%type <tab> tab tab_head
%type <entries> entry_list
%type <box> box box_head
%type <uab> uab_head

/* combo_list and uab_head are registered as soon as they exist: the registry owns them, not the stack. */
%destructor { zr_schema::DestroyOwnedList($$); }
  book_list directory_list attribute_list modifier_list tab_list entry_list
%destructor { delete $$; } book directory combo attribute modifier tab tab_head box box_head

%%

schema_file
  : personal_section directory_section attribute_section combo_list edit_section uab_section map_section
  | bad_start
  ;

personal_section
  : PERSONAL '{' book_list '}'  { SetSchemaBookList($3); }
  ;

book_list
  : %empty          { $$ = new List<SchemaBook*>; }
  | book_list book  { $1->Append($2); $$ = $1; }
  ;

book
  : BOOK STRING ';'  { $$ = new SchemaBook($2); }
  ;

directory_section
  : DIRECTORY '{' directory_list '}'  { SetSchemaDirectoryList($3); }
  ;

directory_list
  : %empty                    { $$ = new List<SchemaDirectory*>; }
  | directory_list directory  { $1->Append($2); $$ = $1; }
  ;

directory
  : DIR STRING STRING STRING modifier_list ';'  { $$ = new SchemaDirectory($2, $3, $4, $5); }
  ;

combo_list
  : %empty            { $$ = new List<SchemaType*>; SetSchemaTypeList($$); }
  | combo_list combo  { $1->Append($2); $$ = $1; }
  ;

combo
  : COMBO STRING '{' attribute_list '}'  {
      SchemaComboType* combo = new SchemaComboType;
      combo->SetName(FromBytes($2));
      combo->AdoptAttrs($4);
      $$ = combo;
    }
  ;

attribute_section
  : LIST '{' attribute_list '}'  { SetSchemaAttrList($3); }
  ;

attribute_list
  : %empty                    { $$ = new List<SchemaAttr*>; }
  | attribute_list attribute  { $1->Append($2); $$ = $1; }
  ;

attribute
  : ATTR STRING STRING modifier_list ';'  { $$ = new SchemaAttr(FromBytes($2), FromBytes($3), $4); }
  ;

modifier_list
  : %empty                  { $$ = new List<SchemaModifier*>; }
  | modifier_list modifier  { $1->Append($2); $$ = $1; }
  ;

modifier
  : WORD '=' STRING  { $$ = new SchemaModifier(FromBytes($1), FromBytes($3)); }
  ;

edit_section
  : EDIT '{' tab_list '}'  { SetSchemaTabList($3); }
  ;

tab_list
  : %empty        { $$ = new List<SchemaTab*>; }
  | tab_list tab  { $1->Append($2); $$ = $1; }
  ;

tab_head
  : TAB  { $$ = new SchemaTab; }
  ;

tab
  : tab_head STRING '{' entry_list '}'  { $1->SetName(FromBytes($2)); $1->AdoptEntries($4); $$ = $1; }
  ;

entry_list
  : %empty                { $$ = new List<SchemaEntry*>; }
  | entry_list attribute  { $1->Append($2); $$ = $1; }
  | entry_list box        { $1->Append($2); $$ = $1; }
  ;

box_head
  : BOX  { $$ = new SchemaBox; }
  ;

box
  : box_head STRING modifier_list '{' attribute_list '}'  {
      $1->SetName(FromBytes($2));
      $1->AdoptAttrs($5);
      $1->AdoptModifiers($3);
      $$ = $1;
    }
  ;

uab_head
  : UAB  { $$ = new SchemaUABSync; SetSchemaUABSync($$); }
  ;

uab_section
  : uab_head '{' attribute_list '}'  { $1->AdoptAttrs($3); }
  ;

map_section
  : MAP '{' attribute_list '}'  { SetSchemaMapAttrList($3); }
  ;

bad_start
  : BADTOKEN  { YYABORT; }
  ;

%%

int SchemaParse() { return Schemaparse(); }

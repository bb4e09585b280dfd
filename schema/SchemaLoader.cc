// Loads "kv_abook.sch" once per process and reports what went wrong to the application's error listener,
// in the application's own language.
#include "SchemaLoader.h"

#include <prprf.h>

#include "ABSchemaErrorListener.h"
#include "Prefs.h"
#include "SchemaInternal.h"
#include "SchemaTesting.h"
#include "ZrFile.h"

using zr_schema::ToBytes;
using zr_schema::Translate;

namespace {

const int kPathSize = 260;
const int kOpenErrorSize = 310;
const int kParseErrorSize = 200;
const int kLineErrorSize = 100;

void ResetLoadState() {
  SchemaLoadState& state = TheSchemaLoadState();
  if (state.input) fclose(state.input);
  delete state.errors;
  state = SchemaLoadState();
}

}  // namespace

SchemaLoadState& TheSchemaLoadState() {
  static SchemaLoadState state;
  return state;
}

void LoadSchemaFile() {
  SchemaLoadState& state = TheSchemaLoadState();
  if (state.attempted) return;
  state.attempted = true;

  char path[kPathSize];
  Prefs::MakeInstallPath("kv_abook.sch", path, sizeof path);
  FILE* file = ZR_fopen(path, "r");
  if (!file) {
    if (ABSchemaErrorListener* listener = zr_schema::RegisteredErrorListener()) {
      char text[kOpenErrorSize];
      PR_snprintf(text, sizeof text, ToBytes(Translate("schema.openError")).c_str(), path);
      listener->OnSchemaError(text);
    }
    return;
  }

  SetSchemaInput(file);
  int result = SchemaParse();
  fclose(file);
  SetSchemaInput(nullptr);

  if (result != 0) {
    if (ABSchemaErrorListener* listener = zr_schema::RegisteredErrorListener()) {
      std::string detail = ToBytes(state.errors ? *state.errors : Translate("schema.parseError"));
      char text[kParseErrorSize];
      PR_snprintf(text, sizeof text, ToBytes(Translate("schema.parseErrorFormat")).c_str(), path,
                  detail.c_str());
      listener->OnSchemaError(text);
    }
  }
  ReorderSchemaEntries();
}

void SchemaParseError(const char* message) {
  SchemaLoadState& state = TheSchemaLoadState();
  if (!state.errors) state.errors = new wxString;
  char line[kLineErrorSize];
  PR_snprintf(line, sizeof line, ToBytes(Translate("schema.yyerror")).c_str(), state.line);
  *state.errors += zr_schema::FromBytes(line);
  *state.errors += zr_schema::FromBytes(message);
  *state.errors += wxString::From8BitData("\n");
}

void ResetSchemaForTesting() {
  zr_schema::ResetRegistry();
  ResetLoadState();
}

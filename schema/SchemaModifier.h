// One key/value pair attached to a schema entry or a directory (size = "10"). Built by the schema parser and
// owned by the entry or directory whose modifier list holds it. Read-only after the load: any thread.
#ifndef ZRAPPAPI_SCHEMAMODIFIER_H
#define ZRAPPAPI_SCHEMAMODIFIER_H

#include <wx/string.h>

#include "ZrAppApiExport.h"

class ZRAPPAPI_EXPORT SchemaModifier {
 public:
  SchemaModifier(const wxString& key, const wxString& value);

  wxString GetKey() const { return key; }
  wxString GetValue() const { return value; }

 private:
  wxString key;
  wxString value;
};

#endif

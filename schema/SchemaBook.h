// One address book named by the schema's personal section. Built by the schema parser and owned by the
// schema registry for the life of the process. Read-only after the load: any thread.
#ifndef ZRAPPAPI_SCHEMABOOK_H
#define ZRAPPAPI_SCHEMABOOK_H

#include <wx/string.h>

#include "ZrAppApiExport.h"

class ZRAPPAPI_EXPORT SchemaBook {
 public:
  explicit SchemaBook(const char* name);  // the name's bytes are taken as they are

  wxString GetName() const { return name; }

 private:
  wxString name;
};

#endif

// An LDAP directory known to the schema: a name, a host, a search base and modifiers (port, ssl, ...).
// Built by the schema parser; the schema registry keeps it for the life of the process. Read-only after
// the load: any thread.
//
// The directory owns its modifier list and the modifiers in it. Copies are deep.
#ifndef ZRAPPAPI_SCHEMADIRECTORY_H
#define ZRAPPAPI_SCHEMADIRECTORY_H

#include <wx/string.h>

#include "List.h"
#include "SchemaModifier.h"
#include "ZrAppApiExport.h"

class ZRAPPAPI_EXPORT SchemaDirectory {
 public:
  // Strings taken byte for byte from the C strings; the modifier list is adopted.
  SchemaDirectory(const char* name, const char* host, const char* root, List<SchemaModifier*>* modifiers);
  SchemaDirectory(const SchemaDirectory& other);
  SchemaDirectory& operator=(const SchemaDirectory& other);
  ~SchemaDirectory();

  wxString GetName() const { return name; }
  wxString GetHost() const { return host; }
  wxString GetRoot() const { return root; }
  // As SchemaEntry::GetModifier and GetModifierLong, over the directory's modifiers.
  wxString GetModifier(const wxString& key) const;
  long GetModifierLong(const wxString& key, long defaultValue) const;

 private:
  wxString name;
  wxString host;
  wxString root;
  List<SchemaModifier*>* modifiers;
};

#endif

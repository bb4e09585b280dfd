// One tab of the contact form: a name and an ordered entry list of attributes and boxes (told apart by
// SchemaEntry::GetType). Built by the schema parser; the schema registry keeps it for the life of the
// process. Read-only after the load: any thread.
//
// The tab owns its entry list and the entries in it. AdoptEntries takes ownership without freeing the list
// stored before. Copies are deep: a copy owns copies of the entries.
#ifndef ZRAPPAPI_SCHEMATAB_H
#define ZRAPPAPI_SCHEMATAB_H

#include <wx/string.h>

#include "List.h"
#include "SchemaEntry.h"
#include "ZrAppApiExport.h"

class ZRAPPAPI_EXPORT SchemaTab {
 public:
  SchemaTab();
  SchemaTab(const SchemaTab& other);
  SchemaTab& operator=(const SchemaTab& other);
  ~SchemaTab();

  wxString GetName() const { return name; }
  void SetName(const wxString& newName) { name = newName; }
  List<SchemaEntry*>* GetEntries() const { return entries; }
  void AdoptEntries(List<SchemaEntry*>* list) { entries = list; }
  // The translation of prefix + name, or name itself when there is none.
  wxString GetLocalizedName(const char* prefix) const;

 private:
  wxString name;
  List<SchemaEntry*>* entries;
};

#endif

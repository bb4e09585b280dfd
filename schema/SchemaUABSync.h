// The set of attributes that take part in synchronisation. Built by the schema parser; the schema registry
// keeps it for the life of the process. Read-only after the load: any thread.
//
// The set owns its attribute list and the attributes in it. AdoptAttrs takes ownership without freeing
// the list stored before. Copies are deep.
#ifndef ZRAPPAPI_SCHEMAUABSYNC_H
#define ZRAPPAPI_SCHEMAUABSYNC_H

#include "List.h"
#include "SchemaEntry.h"
#include "ZrAppApiExport.h"

class ZRAPPAPI_EXPORT SchemaUABSync {
 public:
  SchemaUABSync();
  SchemaUABSync(const SchemaUABSync& other);
  SchemaUABSync& operator=(const SchemaUABSync& other);
  ~SchemaUABSync();

  List<SchemaAttr*>* GetAttrs() const { return attrs; }
  void AdoptAttrs(List<SchemaAttr*>* list) { attrs = list; }

 private:
  List<SchemaAttr*>* attrs;
};

#endif

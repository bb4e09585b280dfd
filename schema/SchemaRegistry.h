// The process-wide home of the one loaded address book schema, and the queries applications make of it.
//
// The schema file is loaded lazily, once per process, by the first query that needs it (load errors go to
// the registered ABSchemaErrorListener). The registry owns every list and object it hands out; they live
// until the process ends, and callers must not free or change them.
//
// Threads: nothing here takes a lock. Make the first schema query (and register the error listener) on one
// thread; once that query has returned, every thread may query.
#ifndef ZRAPPAPI_SCHEMAREGISTRY_H
#define ZRAPPAPI_SCHEMAREGISTRY_H

#include <wx/string.h>

#include "IPCMessage.h"
#include "List.h"
#include "SchemaBook.h"
#include "SchemaDirectory.h"
#include "SchemaEntry.h"
#include "SchemaTab.h"
#include "SchemaUABSync.h"
#include "ZrAppApiExport.h"

// Setters used by the parser: each stores its pointer and takes ownership, without freeing the previous one.
ZRAPPAPI_EXPORT void SetSchemaBookList(List<SchemaBook*>* list);
ZRAPPAPI_EXPORT void SetSchemaDirectoryList(List<SchemaDirectory*>* list);
ZRAPPAPI_EXPORT void SetSchemaAttrList(List<SchemaAttr*>* list);
ZRAPPAPI_EXPORT void SetSchemaTypeList(List<SchemaType*>* list);
ZRAPPAPI_EXPORT void SetSchemaTabList(List<SchemaTab*>* list);
ZRAPPAPI_EXPORT void SetSchemaUABSync(SchemaUABSync* sync);
// Also picks the directory screen-name attribute: the attr of the last map entry whose display is "nuouid".
ZRAPPAPI_EXPORT void SetSchemaMapAttrList(List<SchemaAttr*>* list);

// Load the schema if needed, then answer the list (null when that part of the schema was not loaded).
ZRAPPAPI_EXPORT List<SchemaBook*>* GetSchemaBookList();
ZRAPPAPI_EXPORT List<SchemaDirectory*>* GetSchemaDirectoryList();
ZRAPPAPI_EXPORT List<SchemaAttr*>* GetSchemaAttrList();
ZRAPPAPI_EXPORT List<SchemaTab*>* GetSchemaTabList();
ZRAPPAPI_EXPORT SchemaUABSync* GetSchemaUABSync();
// The import map as registered; does not load.
ZRAPPAPI_EXPORT List<SchemaAttr*>* GetSchemaMapAttrList();
// The directory attribute that holds screen names: picked from the import map, else "nuouid". Does not load.
ZRAPPAPI_EXPORT const char* GetSchemaDirectoryScreenNameAttr();

// The first type whose name equals name exactly; null when none.
ZRAPPAPI_EXPORT SchemaType* FindSchemaType(wxString& name);
// The type named "email_combo".
ZRAPPAPI_EXPORT SchemaType* FindEmailComboSchemaType();
// The first definition of an attribute: the list section's, else the first on a tab outside boxes. Null for
// an attribute that occurs only inside boxes, or nowhere.
ZRAPPAPI_EXPORT SchemaAttr* GetSchemaAttr(const char* name);
// Every attribute name of the list section and the tabs (boxes included), sorted, each once.
ZRAPPAPI_EXPORT List<const char*>* GetSchemaAttrNameList();
ZRAPPAPI_EXPORT bool SchemaHasAttr(const char* name);
// The attributes that type-down searches look at; the same seven names whatever the schema holds.
ZRAPPAPI_EXPORT List<const char*>* GetSchemaTypeDownList();

// Primary keys carry the prefix "_xprim_".
ZRAPPAPI_EXPORT wxString PrimaryKey(wxString& key);
ZRAPPAPI_EXPORT bool IsPrimaryKey(const char* key);
// A pointer into key just after the prefix; null for null, for a key without the prefix or with nothing
// after it.
ZRAPPAPI_EXPORT const char* UnPrimaryKey(const char* key);

// Deletes every entry of the list; the list object itself stays with its owner.
ZRAPPAPI_EXPORT void DestroySchemaEntryList(List<SchemaEntry*>* list);

// Copies each imported attribute of the map onto the suite's own key (and applies its set_attr modifier),
// then marks the message with "xmozillamapped" = "1". Does not load.
ZRAPPAPI_EXPORT void SchemaMapImportedAttributes(IPCMessage* message);

#endif

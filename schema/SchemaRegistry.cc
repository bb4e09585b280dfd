// The process-wide schema registry: the lists the parser registers, and indexes built on first use.
#include "SchemaRegistry.h"

#include <plhash.h>
#include <plstr.h>

#include <cstring>

#include "SchemaInternal.h"
#include "SchemaLoader.h"
#include "VoidArrayComparator.h"

using zr_schema::ToBytes;

namespace {

const char kPrimaryPrefix[] = "_xprim_";
const int kPrimaryPrefixLength = 7;
const PRUint32 kAttrTableBuckets = 1023;
const char* const kTypeDownAttrs[] = {
    "cn", "mail", "nuouid", "mailalternateaddress", "email3", "xmozillahomenuouid", "xmozillanickname"};

struct Registry {
  List<SchemaBook*>* books = nullptr;
  List<SchemaDirectory*>* directories = nullptr;
  List<SchemaAttr*>* attrs = nullptr;
  List<SchemaType*>* types = nullptr;
  List<SchemaTab*>* tabs = nullptr;
  SchemaUABSync* uabSync = nullptr;
  List<SchemaAttr*>* mapAttrs = nullptr;
  char* screenNameAttr = nullptr;
  List<const char*>* attrNames = nullptr;
  PLHashTable* attrTable = nullptr;
  List<const char*>* typeDown = nullptr;
  // The names' bytes: wxString keeps no stable C text, so each listed name is one copy owned here.
  List<char*>* nameTexts = nullptr;
  List<SchemaEntry*>* droppedEntries = nullptr;
  List<SchemaAttr*>* droppedAttrs = nullptr;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

// A copy of name that lives as long as the registry.
const char* KeepName(const wxString& name) {
  Registry& r = TheRegistry();
  if (!r.nameTexts) r.nameTexts = new List<char*>;
  std::string bytes = ToBytes(name);
  char* text = PL_strdup(bytes.c_str());
  r.nameTexts->Append(text);
  return text;
}

void AddName(Array<const char*>& names, SchemaAttr* attr, bool addToTable) {
  Registry& r = TheRegistry();
  const char* name = KeepName(attr->GetAttr());
  names.Append(name);
  if (addToTable && !PL_HashTableLookup(r.attrTable, name)) PL_HashTableAdd(r.attrTable, name, attr);
}

}  // namespace

void SetSchemaBookList(List<SchemaBook*>* list) { TheRegistry().books = list; }
void SetSchemaDirectoryList(List<SchemaDirectory*>* list) { TheRegistry().directories = list; }
void SetSchemaAttrList(List<SchemaAttr*>* list) { TheRegistry().attrs = list; }
void SetSchemaTypeList(List<SchemaType*>* list) { TheRegistry().types = list; }
void SetSchemaTabList(List<SchemaTab*>* list) { TheRegistry().tabs = list; }
void SetSchemaUABSync(SchemaUABSync* sync) { TheRegistry().uabSync = sync; }

void SetSchemaMapAttrList(List<SchemaAttr*>* list) {
  Registry& r = TheRegistry();
  r.mapAttrs = list;
  if (!list) return;
  ListIterator<SchemaAttr*> it(*list);
  for (it.First(); !it.IsDone(); it.Next()) {
    SchemaAttr* attr = it.CurrentItem();
    if (!attr || attr->GetDisplay() != wxString::From8BitData("nuouid")) continue;
    if (r.screenNameAttr) PL_strfree(r.screenNameAttr);
    r.screenNameAttr = PL_strdup(ToBytes(attr->GetAttr()).c_str());
  }
}

List<SchemaBook*>* GetSchemaBookList() {
  LoadSchemaFile();
  return TheRegistry().books;
}

List<SchemaDirectory*>* GetSchemaDirectoryList() {
  LoadSchemaFile();
  return TheRegistry().directories;
}

List<SchemaAttr*>* GetSchemaAttrList() {
  LoadSchemaFile();
  return TheRegistry().attrs;
}

List<SchemaTab*>* GetSchemaTabList() {
  LoadSchemaFile();
  return TheRegistry().tabs;
}

SchemaUABSync* GetSchemaUABSync() {
  LoadSchemaFile();
  return TheRegistry().uabSync;
}

List<SchemaAttr*>* GetSchemaMapAttrList() { return TheRegistry().mapAttrs; }

const char* GetSchemaDirectoryScreenNameAttr() {
  const char* picked = TheRegistry().screenNameAttr;
  return picked ? picked : "nuouid";
}

SchemaType* FindSchemaType(wxString& name) {
  LoadSchemaFile();
  List<SchemaType*>* types = TheRegistry().types;
  if (!types) return nullptr;
  ListIterator<SchemaType*> it(*types);
  for (it.First(); !it.IsDone(); it.Next()) {
    SchemaType* type = it.CurrentItem();
    if (type && type->GetName() == name) return type;
  }
  return nullptr;
}

SchemaType* FindEmailComboSchemaType() {
  wxString name = wxString::From8BitData("email_combo");
  return FindSchemaType(name);
}

List<const char*>* GetSchemaAttrNameList() {
  LoadSchemaFile();
  Registry& r = TheRegistry();
  if (r.attrNames) return r.attrNames;

  r.attrTable = PL_NewHashTable(kAttrTableBuckets, PL_HashString, PL_CompareStrings, PL_CompareValues,
                                nullptr, nullptr);
  Array<const char*> names;
  // The list section's definitions come first, so they win in the table.
  if (r.attrs) {
    ListIterator<SchemaAttr*> it(*r.attrs);
    for (it.First(); !it.IsDone(); it.Next()) {
      if (it.CurrentItem()) AddName(names, it.CurrentItem(), true);
    }
  }
  if (r.tabs) {
    ListIterator<SchemaTab*> tabIt(*r.tabs);
    for (tabIt.First(); !tabIt.IsDone(); tabIt.Next()) {
      SchemaTab* tab = tabIt.CurrentItem();
      if (!tab || !tab->GetEntries()) continue;
      ListIterator<SchemaEntry*> entryIt(*tab->GetEntries());
      for (entryIt.First(); !entryIt.IsDone(); entryIt.Next()) {
        SchemaEntry* entry = entryIt.CurrentItem();
        if (!entry) continue;
        if (entry->GetType() == 1) {
          AddName(names, static_cast<SchemaAttr*>(entry), true);
        } else if (entry->GetType() == 2) {
          // Box attributes are listed but not looked up.
          List<SchemaAttr*>* boxAttrs = static_cast<SchemaBox*>(entry)->GetAttrs();
          if (!boxAttrs) continue;
          ListIterator<SchemaAttr*> attrIt(*boxAttrs);
          for (attrIt.First(); !attrIt.IsDone(); attrIt.Next()) {
            if (attrIt.CurrentItem()) AddName(names, attrIt.CurrentItem(), false);
          }
        }
      }
    }
  }
  names.SortUnique(StringVoidArrayComparator());

  List<const char*>* list = new List<const char*>;
  for (unsigned int i = 0; i < names.GetSize(); i++) list->Append(names.ItemAt(i));
  r.attrNames = list;
  return list;
}

SchemaAttr* GetSchemaAttr(const char* name) {
  GetSchemaAttrNameList();
  PLHashTable* table = TheRegistry().attrTable;
  if (!name || !table) return nullptr;
  return static_cast<SchemaAttr*>(PL_HashTableLookup(table, name));
}

bool SchemaHasAttr(const char* name) {
  if (!name) return false;
  // The list section answers without a load when the schema is already there.
  if (List<SchemaAttr*>* attrs = TheRegistry().attrs) {
    ListIterator<SchemaAttr*> it(*attrs);
    for (it.First(); !it.IsDone(); it.Next()) {
      if (it.CurrentItem() && strcmp(ToBytes(it.CurrentItem()->GetAttr()).c_str(), name) == 0) return true;
    }
  }
  List<const char*>* names = GetSchemaAttrNameList();
  ListIterator<const char*> it(*names);
  for (it.First(); !it.IsDone(); it.Next()) {
    if (strcmp(it.CurrentItem(), name) == 0) return true;
  }
  return false;
}

List<const char*>* GetSchemaTypeDownList() {
  LoadSchemaFile();
  Registry& r = TheRegistry();
  if (!r.typeDown) {
    r.typeDown = new List<const char*>;
    for (const char* name : kTypeDownAttrs) r.typeDown->Append(name);
  }
  return r.typeDown;
}

wxString PrimaryKey(wxString& key) { return wxString::From8BitData(kPrimaryPrefix) + key; }

bool IsPrimaryKey(const char* key) { return PL_strncmp(key, kPrimaryPrefix, kPrimaryPrefixLength) == 0; }

const char* UnPrimaryKey(const char* key) {
  if (!key || !IsPrimaryKey(key) || key[kPrimaryPrefixLength] == '\0') return nullptr;
  return key + kPrimaryPrefixLength;
}

void DestroySchemaEntryList(List<SchemaEntry*>* list) { zr_schema::DeleteOwnedItems(list); }

void SchemaMapImportedAttributes(IPCMessage* message) {
  List<SchemaAttr*>* map = TheRegistry().mapAttrs;
  if (map) {
    ListIterator<SchemaAttr*> it(*map);
    for (it.First(); !it.IsDone(); it.Next()) {
      SchemaAttr* attr = it.CurrentItem();
      if (!attr) continue;
      const char* value = IPC_MessageGetValue(message, ToBytes(attr->GetAttr()).c_str());
      if (!value) continue;
      IPC_MessageSetValue(message, ToBytes(attr->GetDisplay()).c_str(), value);

      std::string setAttr = ToBytes(attr->GetModifier(wxString::From8BitData("set_attr")));
      if (setAttr.empty()) continue;
      size_t colon = setAttr.find(':');
      std::string key = setAttr.substr(0, colon);
      std::string keyValue = colon == std::string::npos ? std::string() : setAttr.substr(colon + 1);
      if (!IPC_MessageGetValue(message, key.c_str()))
        IPC_MessageSetValue(message, key.c_str(), keyValue.c_str());
    }
  }
  IPC_MessageSetValue(message, "xmozillamapped", "1");
}

namespace zr_schema {

List<SchemaTab*>* RegisteredTabList() { return TheRegistry().tabs; }

List<SchemaEntry*>* DroppedEntries() {
  Registry& r = TheRegistry();
  if (!r.droppedEntries) r.droppedEntries = new List<SchemaEntry*>;
  return r.droppedEntries;
}

List<SchemaAttr*>* DroppedAttrs() {
  Registry& r = TheRegistry();
  if (!r.droppedAttrs) r.droppedAttrs = new List<SchemaAttr*>;
  return r.droppedAttrs;
}

void ResetRegistry() {
  Registry& r = TheRegistry();
  DestroyOwnedList(r.books);
  DestroyOwnedList(r.directories);
  DestroyOwnedList(r.attrs);
  DestroyOwnedList(r.types);
  DestroyOwnedList(r.tabs);
  delete r.uabSync;
  DestroyOwnedList(r.mapAttrs);
  if (r.screenNameAttr) PL_strfree(r.screenNameAttr);
  delete r.attrNames;
  if (r.attrTable) PL_HashTableDestroy(r.attrTable);
  delete r.typeDown;
  if (r.nameTexts) {
    while (r.nameTexts->GetSize() > 0) PL_strfree(r.nameTexts->RemoveHead());
    delete r.nameTexts;
  }
  DestroyOwnedList(r.droppedEntries);
  DestroyOwnedList(r.droppedAttrs);
  r = Registry();
}

}  // namespace zr_schema

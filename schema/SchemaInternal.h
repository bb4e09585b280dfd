// Internal helpers shared by the schema objects, loader and registry. Not installed.
#ifndef ZRAPPAPI_SCHEMAINTERNAL_H
#define ZRAPPAPI_SCHEMAINTERNAL_H

#include <wx/string.h>

#include <string>
#include <unordered_set>

#include "List.h"
#include "SchemaEntry.h"
#include "SchemaModifier.h"

class SchemaTab;

namespace zr_schema {

// Schema texts are raw bytes: never let the process locale convert them.
inline wxString FromBytes(const char* text) { return text ? wxString::From8BitData(text) : wxString(); }
inline std::string ToBytes(const wxString& text) {
  wxCharBuffer buffer = text.To8BitData();
  return std::string(buffer.data(), buffer.length());
}

// The translation of key in the current locale; the key itself without a locale or a translation.
wxString Translate(const wxString& key);
inline wxString Translate(const char* key) { return Translate(FromBytes(key)); }
// name's translation under prefix + name, or name itself when there is none.
wxString LocalizedLabel(const char* prefix, const wxString& name);

wxString FindModifier(List<SchemaModifier*>* modifiers, const wxString& key);
long FindModifierLong(List<SchemaModifier*>* modifiers, const wxString& key, long defaultValue);

// Owned child lists. A null list stays null and is skipped; null items are kept as null. Destroying
// deletes each item once (a reorder may have listed one item twice), then the list object.
template <typename T>
void DeleteOwnedItems(List<T*>* list) {
  if (!list) return;
  std::unordered_set<T*> deleted;
  while (list->GetSize() > 0) {
    T* item = list->RemoveHead();
    if (item && deleted.insert(item).second) delete item;
  }
}
template <typename T>
void DestroyOwnedList(List<T*>* list) {
  DeleteOwnedItems(list);
  delete list;
}

// Copies are deep, so a copy can be read and destroyed independently of its source.
template <typename T>
T* CopyItem(T* item) {
  return new T(*item);
}
// An entry is copied as what it is (attribute, box or combo type).
SchemaEntry* CopyItem(SchemaEntry* entry);
template <typename T>
List<T*>* CopyOwnedList(List<T*>* list) {
  if (!list) return nullptr;
  List<T*>* copy = new List<T*>;
  ListIterator<T*> it(*list);
  for (it.First(); !it.IsDone(); it.Next())
    copy->Append(it.CurrentItem() ? CopyItem(it.CurrentItem()) : nullptr);
  return copy;
}
// Assignment of an owned list: the target's old list goes once the copy is made (self-assignment safe).
template <typename T>
void AssignOwnedList(List<T*>*& target, List<T*>* source) {
  List<T*>* copy = CopyOwnedList(source);
  DestroyOwnedList(target);
  target = copy;
}

// The registered error listener, or null.
class ABSchemaErrorListener* RegisteredErrorListener();

// The registry's tab slot, without triggering a load.
List<SchemaTab*>* RegisteredTabList();
// Where a reorder puts the items it drops from their lists: they stay alive with the schema.
List<SchemaEntry*>* DroppedEntries();
List<SchemaAttr*>* DroppedAttrs();
// Frees everything the registry holds and empties its slots (test reset).
void ResetRegistry();

}  // namespace zr_schema

#endif

// Internal helpers shared by the schema objects, loader and registry. Not installed.
#ifndef ZRAPPAPI_SCHEMAINTERNAL_H
#define ZRAPPAPI_SCHEMAINTERNAL_H

#include <wx/string.h>

#include <string>

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

// Deep copies and destruction of child lists; a null list stays null and is skipped.
List<SchemaModifier*>* CopyModifierList(List<SchemaModifier*>* modifiers);
void DestroyModifierList(List<SchemaModifier*>* modifiers);
List<SchemaAttr*>* CopyAttrList(List<SchemaAttr*>* attrs);
void DestroyAttrList(List<SchemaAttr*>* attrs);
List<SchemaEntry*>* CopyEntryList(List<SchemaEntry*>* entries);
// DestroySchemaEntryList, then the list object.
void DestroyEntryListAndItems(List<SchemaEntry*>* entries);

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

#include "SchemaEntry.h"

#include <unordered_set>

#include "SchemaInternal.h"
#include "SchemaRegistry.h"

using zr_schema::CopyAttrList;
using zr_schema::CopyModifierList;
using zr_schema::DestroyAttrList;
using zr_schema::DestroyModifierList;

SchemaEntry::SchemaEntry() : modifiers(nullptr) {}

SchemaEntry::SchemaEntry(List<SchemaModifier*>* modifiers) : modifiers(modifiers) {}

SchemaEntry::SchemaEntry(const SchemaEntry& other) : modifiers(CopyModifierList(other.modifiers)) {}

SchemaEntry& SchemaEntry::operator=(const SchemaEntry& other) {
  if (this != &other) {
    List<SchemaModifier*>* copy = CopyModifierList(other.modifiers);
    DestroyModifierList(modifiers);
    modifiers = copy;
  }
  return *this;
}

SchemaEntry::~SchemaEntry() { DestroyModifierList(modifiers); }

wxString SchemaEntry::GetModifier(const wxString& key) const {
  return zr_schema::FindModifier(modifiers, key);
}

long SchemaEntry::GetModifierLong(const wxString& key, long defaultValue) const {
  return zr_schema::FindModifierLong(modifiers, key, defaultValue);
}

wxString SchemaEntry::GetModifierString(const wxString& key, const wxString& defaultValue) const {
  wxString value = GetModifier(key);
  return value.empty() ? defaultValue : value;
}

SchemaAttr::SchemaAttr(const wxString& attr, const wxString& display, List<SchemaModifier*>* modifiers)
    : SchemaEntry(modifiers), attr(attr), display(display) {}

SchemaAttr::~SchemaAttr() {}

int SchemaAttr::GetType() const { return 1; }

wxString SchemaAttr::GetLocalizedDisplay(const char* prefix) const {
  return zr_schema::LocalizedLabel(prefix, display);
}

SchemaBox::SchemaBox() : attrs(nullptr) {}

SchemaBox::SchemaBox(const SchemaBox& other)
    : SchemaEntry(other), name(other.name), attrs(CopyAttrList(other.attrs)) {}

SchemaBox& SchemaBox::operator=(const SchemaBox& other) {
  if (this != &other) {
    SchemaEntry::operator=(other);
    name = other.name;
    List<SchemaAttr*>* copy = CopyAttrList(other.attrs);
    DestroyAttrList(attrs);
    attrs = copy;
  }
  return *this;
}

SchemaBox::~SchemaBox() { DestroyAttrList(attrs); }

int SchemaBox::GetType() const { return 2; }

wxString SchemaBox::GetLocalizedName(const char* prefix) const {
  return zr_schema::LocalizedLabel(prefix, name);
}

SchemaType::SchemaType() : attrs(nullptr) {}

SchemaType::SchemaType(const SchemaType& other)
    : SchemaEntry(other), name(other.name), attrs(CopyAttrList(other.attrs)) {}

SchemaType& SchemaType::operator=(const SchemaType& other) {
  if (this != &other) {
    SchemaEntry::operator=(other);
    name = other.name;
    List<SchemaAttr*>* copy = CopyAttrList(other.attrs);
    DestroyAttrList(attrs);
    attrs = copy;
  }
  return *this;
}

SchemaType::~SchemaType() { DestroyAttrList(attrs); }

SchemaComboType::SchemaComboType() {}

SchemaComboType::~SchemaComboType() {}

int SchemaComboType::GetType() const { return 3; }

namespace zr_schema {

List<SchemaAttr*>* CopyAttrList(List<SchemaAttr*>* attrs) {
  if (!attrs) return nullptr;
  List<SchemaAttr*>* copy = new List<SchemaAttr*>;
  ListIterator<SchemaAttr*> it(*attrs);
  for (it.First(); !it.IsDone(); it.Next()) {
    SchemaAttr* attr = it.CurrentItem();
    copy->Append(attr ? new SchemaAttr(*attr) : nullptr);
  }
  return copy;
}

void DestroyAttrList(List<SchemaAttr*>* attrs) {
  if (!attrs) return;
  // A reorder may have listed one attribute twice; it is still deleted once.
  std::unordered_set<SchemaAttr*> deleted;
  while (attrs->GetSize() > 0) {
    SchemaAttr* attr = attrs->RemoveHead();
    if (attr && deleted.insert(attr).second) delete attr;
  }
  delete attrs;
}

List<SchemaEntry*>* CopyEntryList(List<SchemaEntry*>* entries) {
  if (!entries) return nullptr;
  List<SchemaEntry*>* copy = new List<SchemaEntry*>;
  ListIterator<SchemaEntry*> it(*entries);
  for (it.First(); !it.IsDone(); it.Next()) {
    SchemaEntry* entry = it.CurrentItem();
    SchemaEntry* entryCopy = nullptr;
    // The entry's virtual table is fixed, so the kind picks the copy.
    if (entry) {
      switch (entry->GetType()) {
        case 1:
          entryCopy = new SchemaAttr(*static_cast<SchemaAttr*>(entry));
          break;
        case 2:
          entryCopy = new SchemaBox(*static_cast<SchemaBox*>(entry));
          break;
        case 3:
          entryCopy = new SchemaComboType(*static_cast<SchemaComboType*>(entry));
          break;
      }
    }
    copy->Append(entryCopy);
  }
  return copy;
}

void DestroyEntryListAndItems(List<SchemaEntry*>* entries) {
  if (!entries) return;
  DestroySchemaEntryList(entries);
  delete entries;
}

}  // namespace zr_schema

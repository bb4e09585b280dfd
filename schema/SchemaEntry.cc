#include "SchemaEntry.h"

#include "SchemaInternal.h"
#include "SchemaRegistry.h"

using zr_schema::AssignOwnedList;
using zr_schema::CopyOwnedList;
using zr_schema::DestroyOwnedList;

SchemaEntry::SchemaEntry() : modifiers(nullptr) {}

SchemaEntry::SchemaEntry(List<SchemaModifier*>* modifiers) : modifiers(modifiers) {}

SchemaEntry::SchemaEntry(const SchemaEntry& other) : modifiers(CopyOwnedList(other.modifiers)) {}

SchemaEntry& SchemaEntry::operator=(const SchemaEntry& other) {
  AssignOwnedList(modifiers, other.modifiers);
  return *this;
}

SchemaEntry::~SchemaEntry() { DestroyOwnedList(modifiers); }
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
    : SchemaEntry(other), name(other.name), attrs(CopyOwnedList(other.attrs)) {}

SchemaBox& SchemaBox::operator=(const SchemaBox& other) {
  SchemaEntry::operator=(other);
  name = other.name;
  AssignOwnedList(attrs, other.attrs);
  return *this;
}

SchemaBox::~SchemaBox() { DestroyOwnedList(attrs); }

int SchemaBox::GetType() const { return 2; }

wxString SchemaBox::GetLocalizedName(const char* prefix) const {
  return zr_schema::LocalizedLabel(prefix, name);
}

SchemaType::SchemaType() : attrs(nullptr) {}

SchemaType::SchemaType(const SchemaType& other)
    : SchemaEntry(other), name(other.name), attrs(CopyOwnedList(other.attrs)) {}

SchemaType& SchemaType::operator=(const SchemaType& other) {
  SchemaEntry::operator=(other);
  name = other.name;
  AssignOwnedList(attrs, other.attrs);
  return *this;
}

SchemaType::~SchemaType() { DestroyOwnedList(attrs); }

SchemaComboType::SchemaComboType() {}

SchemaComboType::~SchemaComboType() {}

int SchemaComboType::GetType() const { return 3; }

namespace zr_schema {

SchemaEntry* CopyItem(SchemaEntry* entry) {
  // Entries have no virtual copy: the kind picks the class.
  switch (entry->GetType()) {
    case 1:
      return new SchemaAttr(*static_cast<SchemaAttr*>(entry));
    case 2:
      return new SchemaBox(*static_cast<SchemaBox*>(entry));
    case 3:
      return new SchemaComboType(*static_cast<SchemaComboType*>(entry));
  }
  return nullptr;
}

}  // namespace zr_schema

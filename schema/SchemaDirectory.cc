#include "SchemaDirectory.h"

#include "SchemaInternal.h"

using zr_schema::FromBytes;

SchemaDirectory::SchemaDirectory(const char* name, const char* host, const char* root,
                                 List<SchemaModifier*>* modifiers)
    : name(FromBytes(name)), host(FromBytes(host)), root(FromBytes(root)), modifiers(modifiers) {}

SchemaDirectory::SchemaDirectory(const SchemaDirectory& other)
    : name(other.name),
      host(other.host),
      root(other.root),
      modifiers(zr_schema::CopyOwnedList(other.modifiers)) {}

SchemaDirectory& SchemaDirectory::operator=(const SchemaDirectory& other) {
  name = other.name;
  host = other.host;
  root = other.root;
  zr_schema::AssignOwnedList(modifiers, other.modifiers);
  return *this;
}

SchemaDirectory::~SchemaDirectory() { zr_schema::DestroyOwnedList(modifiers); }

wxString SchemaDirectory::GetModifier(const wxString& key) const {
  return zr_schema::FindModifier(modifiers, key);
}

long SchemaDirectory::GetModifierLong(const wxString& key, long defaultValue) const {
  return zr_schema::FindModifierLong(modifiers, key, defaultValue);
}

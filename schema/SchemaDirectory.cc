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
      modifiers(zr_schema::CopyModifierList(other.modifiers)) {}

SchemaDirectory& SchemaDirectory::operator=(const SchemaDirectory& other) {
  if (this != &other) {
    name = other.name;
    host = other.host;
    root = other.root;
    List<SchemaModifier*>* copy = zr_schema::CopyModifierList(other.modifiers);
    zr_schema::DestroyModifierList(modifiers);
    modifiers = copy;
  }
  return *this;
}

SchemaDirectory::~SchemaDirectory() { zr_schema::DestroyModifierList(modifiers); }

wxString SchemaDirectory::GetModifier(const wxString& key) const {
  return zr_schema::FindModifier(modifiers, key);
}

long SchemaDirectory::GetModifierLong(const wxString& key, long defaultValue) const {
  return zr_schema::FindModifierLong(modifiers, key, defaultValue);
}

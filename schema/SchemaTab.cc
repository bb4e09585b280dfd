#include "SchemaTab.h"

#include "SchemaInternal.h"
#include "SchemaRegistry.h"

SchemaTab::SchemaTab() : entries(nullptr) {}

SchemaTab::SchemaTab(const SchemaTab& other)
    : name(other.name), entries(zr_schema::CopyOwnedList(other.entries)) {}

SchemaTab& SchemaTab::operator=(const SchemaTab& other) {
  name = other.name;
  zr_schema::AssignOwnedList(entries, other.entries);
  return *this;
}

SchemaTab::~SchemaTab() {
  DestroySchemaEntryList(entries);
  delete entries;
}

wxString SchemaTab::GetLocalizedName(const char* prefix) const {
  return zr_schema::LocalizedLabel(prefix, name);
}

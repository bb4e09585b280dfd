#include "SchemaTab.h"

#include "SchemaInternal.h"

SchemaTab::SchemaTab() : entries(nullptr) {}

SchemaTab::SchemaTab(const SchemaTab& other)
    : name(other.name), entries(zr_schema::CopyEntryList(other.entries)) {}

SchemaTab& SchemaTab::operator=(const SchemaTab& other) {
  if (this != &other) {
    name = other.name;
    List<SchemaEntry*>* copy = zr_schema::CopyEntryList(other.entries);
    zr_schema::DestroyEntryListAndItems(entries);
    entries = copy;
  }
  return *this;
}

SchemaTab::~SchemaTab() { zr_schema::DestroyEntryListAndItems(entries); }

wxString SchemaTab::GetLocalizedName(const char* prefix) const {
  return zr_schema::LocalizedLabel(prefix, name);
}

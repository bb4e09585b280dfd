#include "SchemaUABSync.h"

#include "SchemaInternal.h"

SchemaUABSync::SchemaUABSync() : attrs(nullptr) {}

SchemaUABSync::SchemaUABSync(const SchemaUABSync& other) : attrs(zr_schema::CopyOwnedList(other.attrs)) {}

SchemaUABSync& SchemaUABSync::operator=(const SchemaUABSync& other) {
  zr_schema::AssignOwnedList(attrs, other.attrs);
  return *this;
}

SchemaUABSync::~SchemaUABSync() { zr_schema::DestroyOwnedList(attrs); }

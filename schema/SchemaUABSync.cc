#include "SchemaUABSync.h"

#include "SchemaInternal.h"

SchemaUABSync::SchemaUABSync() : attrs(nullptr) {}

SchemaUABSync::SchemaUABSync(const SchemaUABSync& other) : attrs(zr_schema::CopyAttrList(other.attrs)) {}

SchemaUABSync& SchemaUABSync::operator=(const SchemaUABSync& other) {
  if (this != &other) {
    List<SchemaAttr*>* copy = zr_schema::CopyAttrList(other.attrs);
    zr_schema::DestroyAttrList(attrs);
    attrs = copy;
  }
  return *this;
}

SchemaUABSync::~SchemaUABSync() { zr_schema::DestroyAttrList(attrs); }

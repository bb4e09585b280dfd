#include "SchemaBook.h"

#include "SchemaInternal.h"

SchemaBook::SchemaBook(const char* name) : name(zr_schema::FromBytes(name)) {}

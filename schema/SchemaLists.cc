// The exported list instantiations over the schema's types. Lists hold pointers only, so the item types
// need no definition here.
#include "List.h"
#include "ZrAppApiExport.h"

class SchemaAttr;
class SchemaBook;
class SchemaDirectory;
class SchemaEntry;
class SchemaModifier;
class SchemaTab;
class SchemaType;

template class ZRAPPAPI_EXPORT List<SchemaAttr*>;
template class ZRAPPAPI_EXPORT List<SchemaBook*>;
template class ZRAPPAPI_EXPORT List<SchemaDirectory*>;
template class ZRAPPAPI_EXPORT List<SchemaEntry*>;
template class ZRAPPAPI_EXPORT List<SchemaModifier*>;
template class ZRAPPAPI_EXPORT List<SchemaTab*>;
template class ZRAPPAPI_EXPORT List<SchemaType*>;

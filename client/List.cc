// The library's exported instantiations of the typed containers over basic and platform types; the
// others sit beside the item types they hold.
#include "List.h"

#include "Command.h"
#include "IPCMessage.h"
#include "ZrAppApiExport.h"

class wxFrame;

template class ZRAPPAPI_EXPORT List<char*>;
template class ZRAPPAPI_EXPORT List<const char*>;
template class ZRAPPAPI_EXPORT List<int>;
template class ZRAPPAPI_EXPORT List<long>;
template class ZRAPPAPI_EXPORT List<unsigned int>;
template class ZRAPPAPI_EXPORT List<unsigned long>;
template class ZRAPPAPI_EXPORT List<void*>;
template class ZRAPPAPI_EXPORT List<void**>;
template class ZRAPPAPI_EXPORT List<IPCMessage*>;
template class ZRAPPAPI_EXPORT List<Command*>;

template class ZRAPPAPI_EXPORT Array<char*>;
template class ZRAPPAPI_EXPORT Array<const char*>;
template class ZRAPPAPI_EXPORT Array<int>;
template class ZRAPPAPI_EXPORT Array<long>;
template class ZRAPPAPI_EXPORT Array<unsigned int>;
template class ZRAPPAPI_EXPORT Array<unsigned long>;
template class ZRAPPAPI_EXPORT Array<wxFrame*>;

template class ZRAPPAPI_EXPORT Queue<Command*>;

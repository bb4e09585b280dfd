// The library's instantiations of the typed containers over basic and platform types, made here so that
// they exist whether or not the library uses them; those over the library's own types are made where
// the types live. Each is exported (List.h).
#include "List.h"

#include "Command.h"
#include "IPCMessage.h"
#include "ZrAppApiExport.h"

// The GUI library's frame class, declared as that library exports it (no GUI header is needed here).
#pragma GCC visibility push(default)
class wxFrame;
#pragma GCC visibility pop

template class List<char*>;
template class List<const char*>;
template class List<int>;
template class List<long>;
template class List<unsigned int>;
template class List<unsigned long>;
template class List<void*>;
template class List<void**>;
template class List<IPCMessage*>;
template class List<Command*>;

template class Array<char*>;
template class Array<const char*>;
template class Array<int>;
template class Array<long>;
template class Array<unsigned int>;
template class Array<unsigned long>;
template class Array<wxFrame*>;

template class Queue<Command*>;

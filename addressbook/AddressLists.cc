// The exported container instantiations over the address book's record and listener types. Containers
// hold pointers only, so the item types need no definition here.
#include "List.h"
#include "ZrAppApiExport.h"

class Address;
class AddressBookContactListener;
class AddressBookIndexListener;
class AddressBookListListener;
class TimeAddressWasPicked;
class UpgradeListener;

template class ZRAPPAPI_EXPORT List<Address*>;
template class ZRAPPAPI_EXPORT List<AddressBookContactListener*>;
template class ZRAPPAPI_EXPORT List<AddressBookIndexListener*>;
template class ZRAPPAPI_EXPORT List<AddressBookListListener*>;
template class ZRAPPAPI_EXPORT List<UpgradeListener*>;

template class ZRAPPAPI_EXPORT Array<Address*>;
template class ZRAPPAPI_EXPORT Array<TimeAddressWasPicked*>;

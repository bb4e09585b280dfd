// Out-of-line destructors anchor each interface's vtable and type information in the library.
#include "AddressBookListeners.h"

UpgradeListener::~UpgradeListener() {}
AddressBookListListener::~AddressBookListListener() {}
AddressBookContactListener::~AddressBookContactListener() {}
AddressBookIndexListener::~AddressBookIndexListener() {}

AddressBookResolveListener::AddressBookResolveListener() : directoryID(0) {}
AddressBookResolveListener::AddressBookResolveListener(const AddressBookResolveListener& other)
    : Listener(other), directoryID(other.directoryID) {}
AddressBookResolveListener& AddressBookResolveListener::operator=(const AddressBookResolveListener& other) {
  directoryID = other.directoryID;
  return *this;
}
AddressBookResolveListener::~AddressBookResolveListener() {}

GetAddressBookListener::~GetAddressBookListener() {}
GetAddressBookListListener::GetAddressBookListListener() {}
GetAddressBookListListener::~GetAddressBookListListener() {}
GetHTMLSummaryListener::~GetHTMLSummaryListener() {}
AddressBookGetDirectoryServerListener::~AddressBookGetDirectoryServerListener() {}
NUOServiceListener::~NUOServiceListener() {}
QuerySessionListener::~QuerySessionListener() {}
NUOPasswordForSNameListener::~NUOPasswordForSNameListener() {}
KTSAccountInfoListener::~KTSAccountInfoListener() {}
DOVPacketListener::DOVPacketListener() {}
DOVPacketListener::~DOVPacketListener() {}
DOVNewSIDListener::~DOVNewSIDListener() {}
SyncScreenNameListener::~SyncScreenNameListener() {}
AddressBookCryptoListener::~AddressBookCryptoListener() {}

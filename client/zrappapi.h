// The one header an application needs: every public header of zrappapi and its platform libraries.
#ifndef ZRAPPAPI_ZRAPPAPI_H
#define ZRAPPAPI_ZRAPPAPI_H

// Platform: utility library.
#include "AliasTarget.h"
#include "Command.h"
#include "CommandSink.h"
#include "CommandThread.h"
#include "Listener.h"
#include "Platform.h"
#include "Prefs.h"
#include "Releaser.h"
#include "UILoop.h"
#include "VoidArray.h"
#include "VoidArrayComparator.h"
#include "VoidItemDestructor.h"
#include "VoidList.h"
#include "VoidQueue.h"
#include "WxUILoopAdapter.h"
#include "ZrFile.h"

// Platform: message channel library.
#include "IPCChannel.h"
#include "IPCCommandThread.h"
#include "IPCMessage.h"
#include "IPCMessageListener.h"

// Service client frame.
#include "Alias.h"
#include "List.h"
#include "ZorlinClient.h"
#include "ZorlinClientRef.h"
#include "ZrAppApiExport.h"

// Service clients.
#include "CertTool.h"
#include "SecurityManager.h"
#include "SharedPrefs.h"
#include "ZorlinLauncher.h"

// Address book schema.
#include "ABSchemaErrorListener.h"
#include "SchemaBook.h"
#include "SchemaDirectory.h"
#include "SchemaEntry.h"
#include "SchemaModifier.h"
#include "SchemaRegistry.h"
#include "SchemaTab.h"
#include "SchemaUABSync.h"

// LDAP directory.
#include "DirectorySearch.h"
#include "DirectorySearchListener.h"
#include "DirectoryServer.h"

// Address book.
#include "Address.h"
#include "AddressBook.h"
#include "AddressBookIndex.h"
#include "AddressBookListeners.h"
#include "AddressBookRecords.h"
#include "ZorlinEvents.h"

#endif

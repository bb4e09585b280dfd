// Client of the identity manager (channel "kv_idmgr"): opens one of its tabs and brings it to the front.
// An application reaches it through ZorlinClientRef<SecurityManager>, which it instantiates itself.
// UI thread only.
#ifndef ZRAPPAPI_SECURITYMANAGER_H
#define ZRAPPAPI_SECURITYMANAGER_H

#include "ZorlinClient.h"
#include "ZorlinClientRef.h"
#include "ZrAppApiExport.h"

class ZRAPPAPI_EXPORT SecurityManager : public ZorlinClient {
 public:
  // tab is sent as given, number or not. result reports the write.
  void LaunchTab(ResultListener* result, const char* tab);

 protected:
  SecurityManager();
  ~SecurityManager() override;

 private:
  friend class ZorlinClientRef<SecurityManager>;
  static SecurityManager* theInstance;
};

#endif

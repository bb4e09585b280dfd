// Client of the help viewer service (channel "kv_help"): opens the viewer at an address. Reached through
// ZorlinClientRef<CertTool>. UI thread only.
#ifndef ZRAPPAPI_CERTTOOL_H
#define ZRAPPAPI_CERTTOOL_H

#include "ZorlinClient.h"
#include "ZorlinClientRef.h"
#include "ZrAppApiExport.h"

class ZRAPPAPI_EXPORT CertTool : public ZorlinClient {
 public:
  void ShowHelpViewer(const char* url);

 protected:
  CertTool();
  ~CertTool() override;

 private:
  friend class ZorlinClientRef<CertTool>;
  static CertTool* theInstance;
};

extern template class ZRAPPAPI_EXPORT ZorlinClientRef<CertTool>;

#endif

// Client of the launcher service (channel "kv_launch"): starts the suite with sign-on information, saves
// launcher preferences and opens the options dialog. Reached through ZorlinClientRef<ZorlinLauncher>.
// Every result listener reports whether the request was written; the client owns it from the call on.
// UI thread only.
#ifndef ZRAPPAPI_ZORLINLAUNCHER_H
#define ZRAPPAPI_ZORLINLAUNCHER_H

#include "List.h"
#include "ZorlinClient.h"
#include "ZorlinClientRef.h"
#include "ZrAppApiExport.h"

// One launcher preference. The caller owns the array and its strings.
struct ZRAPPAPI_EXPORT ZorlinLauncherPrefValue {
  const char* name;
  bool value;
};

class ZRAPPAPI_EXPORT ZorlinLauncher : public ZorlinClient {
 public:
  // Sends "name:0|1;" for each record, in order. With no records nothing is sent and result is left to
  // the caller.
  void SavePrefs(ZorlinLauncherPrefValue* values, unsigned int count, ResultListener* result);
  // Starts the suite with the sign-on texts, in order.
  void LaunchZorlin(Array<const char*>& info, ResultListener* result);
  // Opens the options dialog and brings it to the front when it answers.
  void LaunchOptionsDialog(ResultListener* result);

 protected:
  ZorlinLauncher();
  ~ZorlinLauncher() override;

 private:
  friend class ZorlinClientRef<ZorlinLauncher>;
  static ZorlinLauncher* theInstance;
};

extern template class ZRAPPAPI_EXPORT ZorlinClientRef<ZorlinLauncher>;

#endif

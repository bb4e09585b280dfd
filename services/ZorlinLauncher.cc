#include "ZorlinLauncher.h"

#include <plstr.h>
#include <prprf.h>

template class ZorlinClientRef<ZorlinLauncher>;

ZorlinLauncher* ZorlinLauncher::theInstance = nullptr;

ZorlinLauncher::ZorlinLauncher() : ZorlinClient("kv_launch") {}

ZorlinLauncher::~ZorlinLauncher() {}

void ZorlinLauncher::SavePrefs(ZorlinLauncherPrefValue* values, unsigned int count, ResultListener* result) {
  if (count == 0 || !values) return;
  char* text = nullptr;
  for (unsigned int i = 0; i < count; ++i)
    text = PR_sprintf_append(text, "%s:%d;", values[i].name, values[i].value ? 1 : 0);
  IPCMessage* msg = IPC_NewMessage();
  IPC_MessageSetValue(msg, "zr_command", "saveprefs");
  if (text) IPC_MessageSetValue(msg, "prefvalues", text);
  WriteMessage(msg, nullptr, result, nullptr);
  IPC_DestroyMessage(msg);
  if (text) PR_smprintf_free(text);
}

void ZorlinLauncher::LaunchZorlin(Array<const char*>& info, ResultListener* result) {
  IPCMessage* msg = IPC_NewMessage();
  IPC_MessageSetValue(msg, "zr_command", "launchzorlin");
  char key[100];
  for (unsigned int i = 0; i < info.GetSize(); ++i) {
    PR_snprintf(key, sizeof(key), "signoninfo%d", i + 1);
    if (const char* item = info.ItemAt(i)) IPC_MessageSetValue(msg, key, item);
  }
  WriteMessage(msg, nullptr, result, nullptr);
  IPC_DestroyMessage(msg);
}

void ZorlinLauncher::LaunchOptionsDialog(ResultListener* result) {
  IPCMessage* msg = IPC_NewMessage();
  IPC_MessageSetValue(msg, "zr_command", "launchOptionsDialog");
  WriteMessage(msg, new ZorlinWindowReplyListener, result, nullptr);
  IPC_DestroyMessage(msg);
}

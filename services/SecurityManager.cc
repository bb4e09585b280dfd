#include "SecurityManager.h"

SecurityManager* SecurityManager::theInstance = nullptr;

SecurityManager::SecurityManager() : ZorlinClient("kv_idmgr") {}

SecurityManager::~SecurityManager() {}

void SecurityManager::LaunchTab(ResultListener* result, const char* tab) {
  IPCMessage* msg = IPC_NewMessage();
  IPC_MessageSetValue(msg, "zr_command", "-tab");
  if (tab) IPC_MessageSetValue(msg, "tabNumber", tab);
  WriteMessage(msg, new ZorlinWindowReplyListener, result, nullptr);
  IPC_DestroyMessage(msg);
}

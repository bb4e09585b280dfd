#include "CertTool.h"

template class ZorlinClientRef<CertTool>;

CertTool* CertTool::theInstance = nullptr;

CertTool::CertTool() : ZorlinClient("kv_help") {}

CertTool::~CertTool() {}

void CertTool::ShowHelpViewer(const char* url) {
  IPCMessage* msg = IPC_NewMessage();
  IPC_MessageSetValue(msg, "zr_command", "help_viewer_show");
  if (url) IPC_MessageSetValue(msg, "help_viewer_show_url", url);
  WriteMessage(msg, nullptr, nullptr, nullptr);
  IPC_DestroyMessage(msg);
}

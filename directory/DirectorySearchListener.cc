#include "DirectorySearchListener.h"

void DirectoryReplicateListener::OnReplicateStatus(const char*) {}
void DirectoryReplicateListener::OnReplicateProgress(double) {}
void DirectoryReplicateListener::OnReplicateCancelled() {}
void DirectoryReplicateListener::OnReplicateEntryCount(int) {}
void DirectoryReplicateListener::OnReplicateEntryRemoved(IPCMessage*) {}
void DirectoryReplicateListener::OnReplicateFailed(const char*) {}
void DirectoryReplicateListener::OnReplicatePaused() {}
void DirectoryReplicateListener::OnReplicateResumed() {}

void DirectoryServerListener::OnServerAdded(const char*) {}
void DirectoryServerListener::OnServerChanged(const char*) {}
void DirectoryServerListener::OnServerRemoved(const char*) {}

// Listener interfaces of directory searches (DirectoryServer). The application implements them and hands
// a heap object to one search; the server calls it on its sink's thread (the UI thread by default) in the
// order begin, entries or certificate results, unavailable (at most once), end, and releases it right
// after OnSearchEnd (or after OnReplicateEnd), on the UI thread. Entry messages belong to the library and
// are destroyed when the call returns: copy what you keep.
//
// DirectoryBaseListener holds the three calls that searches and certificate lookups share, so that one
// notification serves both interfaces.
#ifndef ZRAPPAPI_DIRECTORYSEARCHLISTENER_H
#define ZRAPPAPI_DIRECTORYSEARCHLISTENER_H

#include "IPCMessage.h"
#include "Listener.h"
#include "ZrAppApiExport.h"

class ZRAPPAPI_EXPORT DirectoryBaseListener : public Listener {
 public:
  virtual void OnSearchBegin() = 0;
  // host: the server's host name; valid during the call.
  virtual void OnServerUnavailable(const char* host) = 0;
  virtual void OnSearchEnd() = 0;
};

class ZRAPPAPI_EXPORT DirectorySearchListener : public DirectoryBaseListener {
 public:
  // entry: keys are the requested attribute names, each with the attribute's first value.
  virtual void OnSearchEntry(IPCMessage* entry) = 0;
};

class ZRAPPAPI_EXPORT DirectoryCertLookupListener : public DirectoryBaseListener {
 public:
  // data: length bytes of one certificate, valid during the call only.
  virtual void OnCertFound(const char* address, const char* data, unsigned long length) = 0;
  virtual void OnCertNotFound(const char* address) = 0;
};

// A replication's listener. Only OnReplicateUnavailable, OnReplicateBegin, OnReplicateEnd and
// OnReplicateEntry are ever called by the library; the others keep their places for applications that
// use this interface elsewhere and default to doing nothing.
class ZRAPPAPI_EXPORT DirectoryReplicateListener : public Listener {
 public:
  virtual void OnReplicateStatus(const char* text);
  virtual void OnReplicateUnavailable(const char* host) = 0;
  virtual void OnReplicateProgress(double fraction);
  virtual void OnReplicateCancelled();
  virtual void OnReplicateBegin() = 0;
  virtual void OnReplicateEntryCount(int count);
  virtual void OnReplicateEnd() = 0;
  virtual void OnReplicateEntryRemoved(IPCMessage* entry);
  virtual void OnReplicateEntry(IPCMessage* entry) = 0;
  virtual void OnReplicateFailed(const char* text);
  virtual void OnReplicatePaused();
  virtual void OnReplicateResumed();
};

// Exported for applications; the directory server never calls it.
class ZRAPPAPI_EXPORT DirectoryServerListener : public Listener {
 public:
  virtual void OnServerAdded(const char* host);
  virtual void OnServerChanged(const char* host);
  virtual void OnServerRemoved(const char* host);
};

#endif

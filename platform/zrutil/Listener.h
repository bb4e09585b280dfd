// The listener family. Listeners are heap objects handed to the library, which calls Release() exactly
// once, on the UI thread, when it is done with one. The default Release deletes the object.
#ifndef ZRUTIL_LISTENER_H
#define ZRUTIL_LISTENER_H

#include "ZrUtilExport.h"

class ZRUTIL_EXPORT Listener {
 public:
  virtual ~Listener();
  virtual void Release();
};

// Whether a request succeeded; text is a translation-catalogue key, or null.
class ZRUTIL_EXPORT ResultListener : public Listener {
 public:
  virtual void OnSuccess() = 0;
  virtual void OnFailure(const char* text) = 0;
};

// A long request's progress; the three reports default to doing nothing.
class ZRUTIL_EXPORT ProgressListener : public ResultListener {
 public:
  virtual void SetProgress(double fraction);
  virtual void AppendToLog(const char* text);
  virtual void SetStatusText(const char* text);
};

#endif

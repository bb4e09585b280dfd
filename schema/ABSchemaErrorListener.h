// How an application hears about problems with the schema file. The application registers one listener
// per process before its first schema query; the loader calls OnSchemaError with a fully formatted,
// translated message on the thread whose query triggered the load.
//
// Registration is not synchronised. The library releases a registered listener when another replaces it
// or when DestroyABSchemaErrorListener is called.
#ifndef ZRAPPAPI_ABSCHEMAERRORLISTENER_H
#define ZRAPPAPI_ABSCHEMAERRORLISTENER_H

#include "Listener.h"
#include "ZrAppApiExport.h"

class ZRAPPAPI_EXPORT ABSchemaErrorListener : public Listener {
 public:
  // Reserved: the library never calls it.
  virtual void OnSchemaNotice();
  virtual void OnSchemaError(const char* text) = 0;
};

// Releases the listener registered before (if any) and keeps this one, without taking a further reference.
ZRAPPAPI_EXPORT void RegisterABSchemaErrorListener(ABSchemaErrorListener* listener);
// Releases the registered listener, if any, and clears the registration.
ZRAPPAPI_EXPORT void DestroyABSchemaErrorListener();

#endif

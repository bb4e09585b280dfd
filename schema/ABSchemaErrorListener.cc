#include "ABSchemaErrorListener.h"

#include "SchemaInternal.h"

namespace {
ABSchemaErrorListener* gErrorListener = nullptr;
}  // namespace

void ABSchemaErrorListener::OnSchemaNotice() {}

void RegisterABSchemaErrorListener(ABSchemaErrorListener* listener) {
  // Registering the registered listener again must not release it under its own feet.
  if (listener == gErrorListener) return;
  if (gErrorListener) gErrorListener->Release();
  gErrorListener = listener;
}

void DestroyABSchemaErrorListener() {
  ABSchemaErrorListener* listener = gErrorListener;
  gErrorListener = nullptr;
  if (listener) listener->Release();
}

namespace zr_schema {
ABSchemaErrorListener* RegisteredErrorListener() { return gErrorListener; }
}  // namespace zr_schema

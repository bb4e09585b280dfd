// Library-wide definitions of zrappapi.
#include "ZrAppApiExport.h"

extern "C" ZRAPPAPI_EXPORT const char* ZR_AppApiVersion() { return "0.1.0"; }

// Loading zrappapi needs no work of its own on this platform: there are no per-thread attach or detach
// notifications to turn off, and every client is created lazily by its first reference.
#include "ZrAppApiExport.h"

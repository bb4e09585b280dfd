// The one export macro of zrappapi: the library is built with hidden visibility and exports exactly what
// carries this mark.
#ifndef ZRAPPAPI_ZRAPPAPIEXPORT_H
#define ZRAPPAPI_ZRAPPAPIEXPORT_H

#define ZRAPPAPI_EXPORT __attribute__((visibility("default")))

#endif

// Export macro of the message channel library (zripc).
#ifndef ZRIPC_ZRIPCEXPORT_H
#define ZRIPC_ZRIPCEXPORT_H

#define ZRIPC_EXPORT __attribute__((visibility("default")))

#endif

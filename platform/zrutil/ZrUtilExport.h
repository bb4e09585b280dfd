// Export macro of the utility library (zrutil). Everything not marked stays hidden.
#ifndef ZRUTIL_ZRUTILEXPORT_H
#define ZRUTIL_ZRUTILEXPORT_H

#define ZRUTIL_EXPORT __attribute__((visibility("default")))

#endif

// File opening for the suite's files; behaves like fopen.
#ifndef ZRUTIL_ZRFILE_H
#define ZRUTIL_ZRFILE_H

#include <cstdio>

#include "ZrUtilExport.h"

extern "C" ZRUTIL_EXPORT FILE* ZR_fopen(const char* path, const char* mode);

#endif

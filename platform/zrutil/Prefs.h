// Where the suite is installed. The installation directory is the directory of the running executable
// unless the application (or a test) sets another.
#ifndef ZRUTIL_PREFS_H
#define ZRUTIL_PREFS_H

#include "ZrUtilExport.h"

class ZRUTIL_EXPORT Prefs {
 public:
  // Writes "<installation directory>/<name>" into buffer (NUL-terminated, cut to size). Answers buffer.
  static char* MakeInstallPath(const char* name, char* buffer, int size);
  // Sets the installation directory; null returns to the executable's directory.
  static void SetInstallDirectory(const char* directory);
};

#endif

#include "Prefs.h"

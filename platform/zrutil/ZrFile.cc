#include "ZrFile.h"

#include "VoidList.h"

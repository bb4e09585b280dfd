#include "VoidArray.h"

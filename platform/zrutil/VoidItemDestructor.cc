#include "VoidItemDestructor.h"

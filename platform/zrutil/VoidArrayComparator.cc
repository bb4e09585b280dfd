#include "VoidArrayComparator.h"

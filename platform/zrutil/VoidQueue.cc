#include "VoidQueue.h"

#include "AliasTarget.h"

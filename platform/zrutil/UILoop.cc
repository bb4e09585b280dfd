#include "UILoop.h"

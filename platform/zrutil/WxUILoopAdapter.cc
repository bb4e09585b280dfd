#include "WxUILoopAdapter.h"

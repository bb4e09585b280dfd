#include "CommandSink.h"

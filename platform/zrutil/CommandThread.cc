#include "CommandThread.h"

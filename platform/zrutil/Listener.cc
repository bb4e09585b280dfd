#include "Listener.h"

#include "Releaser.h"

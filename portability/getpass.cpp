// Terminal password prompt.
#include "portability.h"

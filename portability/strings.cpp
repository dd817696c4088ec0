// String and error-text replacements.
#include "portability.h"

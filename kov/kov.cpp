#include "kov.h"

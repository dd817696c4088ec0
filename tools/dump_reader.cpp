#include "dump_reader.h"

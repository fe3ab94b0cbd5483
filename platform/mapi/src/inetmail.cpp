// Internet mail conversion (being written).
#include "inetmail.h"

// Compiled into the library so that every build of it passes the
// floating-point environment checks.
#include "model/float_environment.h"

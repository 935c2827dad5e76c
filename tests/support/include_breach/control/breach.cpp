// A control file reaching up into the module that hosts it: the include check must refuse it.
#include "../module/registration.h"

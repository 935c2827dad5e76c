// A list file that reaches back into the control: the include check must refuse it.
#include "../control/ov_transfer_control.h"

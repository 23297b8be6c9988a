// The offscreen window tests keep their known devices in a folder of their own.
#include "tests/testbed/TestStateHome.h"

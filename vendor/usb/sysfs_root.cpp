#include "usb_bus.h"

const char* sysfsRoot() { return "/sys"; }

// The message text for a library status code.
#pragma once

#include "vendor/cp210x.h"

const char* statusText(CP210x_STATUS code);

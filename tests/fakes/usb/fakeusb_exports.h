// The libusb and control declarations, with default visibility: the fake is built with
// hidden visibility, so these are all that leaves it (the version script says the same).
#pragma once

#pragma GCC visibility push(default)
#include <libusb-1.0/libusb.h>

#include "fakeusb.h"
#pragma GCC visibility pop

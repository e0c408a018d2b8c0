// What the control interface reads and resets on the libusb side of the fake: the
// process-wide counts of contexts, lists, descriptors and handles.
#pragma once

#include "fakeusb_bus.h"

namespace fakeusb::abi {

struct Counts {
    unsigned inits = 0; // libusb_init calls, failed ones included
    unsigned exits = 0;
    unsigned contexts = 0;
    unsigned handles = 0;
    unsigned deviceLists = 0;
    unsigned configDescriptors = 0;
};
Counts counts();
void failInit(Fault fault);
// Clears the init and exit counts and the init fault; live objects stay usable.
void resetCounts();

} // namespace fakeusb::abi

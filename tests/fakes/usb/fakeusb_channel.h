// The fake's end of the remote control channel (see fakeusb_remote.h for the other).
#pragma once

namespace fakeusb {

// When FAKEUSB_CONTROL names a control directory, the first call applies its setup and
// starts serving it; later calls return at once. Every libusb entry point that sees
// the bus calls this first, holding no lock.
void startChannelOnce();

} // namespace fakeusb

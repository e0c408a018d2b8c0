// The simulated bus under the fake libusb: devices with their descriptors, serials and
// endpoints, plugging, scripted faults and the simulator connection behind a claimed
// interface. It knows nothing of libusb's contexts, lists or handles.
#pragma once

#include "fakeusb_exports.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fakeusb {

// The next `times` calls of an operation fail with `error`; times < 0: until changed.
struct Fault {
    int error = 0;
    int times = 0;
    int take(); // this call's error, 0 for none
};

// A device configuration that owns its strings (the fakeusb_device_config's
// pointers are cleared).
struct DeviceConfig {
    fakeusb_device_config c{};
    std::optional<std::string> serial;
    std::string host;

    static DeviceConfig from(const fakeusb_device_config& config);
};

// One plug-in of a device as a client sees it, fixed until the device is unplugged:
// libusb device objects keep one, and every request names the plug-in it was made for.
struct Presentation {
    std::shared_ptr<fakeusb_device> device;
    unsigned generation = 0;
    uint8_t address = 0;
    std::shared_ptr<const DeviceConfig> config;
};

// A claimed vendor interface with the simulator connection behind its bulk endpoints.
struct Session;
using SessionPtr = std::shared_ptr<Session>;

// Descriptors as the device presents them.
libusb_device_descriptor deviceDescriptor(const DeviceConfig& config);
// A configuration descriptor together with the arrays it points into.
struct ConfigDescriptor {
    libusb_config_descriptor config{};
    std::vector<libusb_interface> interfaces;
    std::vector<libusb_interface_descriptor> settings;
    std::vector<std::vector<libusb_endpoint_descriptor>> endpoints;
};
std::unique_ptr<ConfigDescriptor> configDescriptor(const DeviceConfig& config);
// The string at a descriptor index; nothing when the device has none there.
std::optional<std::string> stringDescriptor(const DeviceConfig& config, uint8_t index);
int maxPacketSize(const DeviceConfig& config, unsigned char endpoint);

// Calls the real libusb would reject or crash on: counted, and a line on stderr.
void misuse(const char* format, ...) __attribute__((format(printf, 1, 2)));
unsigned misuseCount();

// The bus itself. Every function locks the bus on its own and holds nothing when it
// returns; none calls out of the bus, so callers may hold their own lock around them.
namespace bus {

// The test's side. Unknown device pointers are ignored.
fakeusb_device* add(const fakeusb_device_config& config);
void remove(fakeusb_device* device);
void unplug(fakeusb_device* device);
void plug(fakeusb_device* device);
void reconfigure(fakeusb_device* device, const fakeusb_device_config& config);
void fail(fakeusb_device* device, fakeusb_op op, Fault fault);
void scriptTransfer(fakeusb_device* device, fakeusb_op direction, int error, int partial,
                    unsigned times);
void stall(fakeusb_device* device, unsigned char endpoint);
size_t transfers(fakeusb_device* device, fakeusb_transfer* out, size_t capacity);
void clearTransfers(fakeusb_device* device);
unsigned callCount(const fakeusb_device* device, fakeusb_op op);
void reset(); // every device goes; also clears the misuse count

// The client's side, on behalf of the libusb objects.
std::vector<Presentation> plugged();
bool live(const Presentation& p);
// Counts a call of `op` and returns its scripted fault. With needsDevice, a plug-in
// that has gone fails with LIBUSB_ERROR_NO_DEVICE first, uncounted.
int call(const Presentation& p, fakeusb_op op, bool needsDevice);
// Claims an interface for the handle whose session is `held`. Claiming the vendor
// interface makes a session in `held` that connect() then backs with the simulator;
// a second handle gets LIBUSB_ERROR_BUSY.
int claim(const Presentation& p, int interfaceNumber, SessionPtr& held);
// Connects a new session to its simulator, with no lock held: a release or unplug
// meanwhile ends the connection at once.
void connect(const SessionPtr& session);
int release(const Presentation& p, int interfaceNumber, SessionPtr& held);
// A handle closing: counted, and its session ends.
void close(const Presentation& p, SessionPtr& held);
int clearHalt(const Presentation& p, unsigned char endpoint);
// A synchronous bulk or interrupt transfer; blocks without holding the bus.
int transfer(const Presentation& p, Session* session, unsigned char endpoint, unsigned char* data,
             int length, int* actual, unsigned int timeout);

} // namespace bus
} // namespace fakeusb

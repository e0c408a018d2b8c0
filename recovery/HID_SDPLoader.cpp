// The Serial Download Protocol over USB HID through hidapi.
#include "HID_SDPLoader.h"

#include <hidapi.h>

#include <algorithm>
#include <climits>

#include "Log.h"

namespace {

constexpr unsigned char HAB_MODE_REPORT_ID = 3;
constexpr unsigned char STATUS_REPORT_ID = 4;
// The HAB-mode report: its id and one word. hidraw may hand it out padded.
constexpr size_t HAB_MODE_REPORT_BYTES = 5;
// The status report: its id and 16 words.
constexpr u32 STATUS_WORDS = (MAX_READ_BYTES - 1) / 4;

} // namespace

HID_SDPLoader::HID_SDPLoader(u16 vendorId, u16 productId)
    : vendorId_(vendorId), productId_(productId) {}

HID_SDPLoader::~HID_SDPLoader() {
    if (handle_) hid_close(handle_);
    handle_ = nullptr;
    hid_exit();
}

bool HID_SDPLoader::init() {
    if (handle_) return true;
    if (hid_init() != 0) {
        Log::log(DEBUG_iMXSerial, "hid_init failed\n");
        return false;
    }
    handle_ = hid_open(vendorId_, productId_, nullptr);
    Log::log(DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(handle_));
    return handle_ != nullptr;
}

long HID_SDPLoader::writeData(const std::vector<unsigned char>& report) {
    if (!handle_ || report.empty()) return -1;
    return hid_write(handle_, report.data(), report.size());
}

long HID_SDPLoader::readData(std::vector<unsigned char>& reply, u32 timeoutMs) {
    if (!handle_) return 0;
    const int timeout = static_cast<int>(std::min<u32>(timeoutMs, INT_MAX));
    long total = 0;
    unsigned char buffer[MAX_READ_BYTES];
    while (total < static_cast<long>(MAX_REPLY_BYTES)) {
        std::fill(std::begin(buffer), std::end(buffer), 0);
        int n = hid_read_timeout(handle_, buffer, sizeof buffer, timeout);
        // A time-out and an error end the read alike.
        if (n <= 0) break;
        size_t kept = static_cast<size_t>(n);
        if (buffer[0] == HAB_MODE_REPORT_ID) kept = std::min(kept, HAB_MODE_REPORT_BYTES);
        reply.insert(reply.end(), buffer, buffer + kept);
        total += static_cast<long>(kept);
    }
    return total;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<unsigned char>& reply, u32 index,
                                      u32& word) {
    if (index >= STATUS_WORDS) return false;
    // The reply is the reports as read, one after another: the HAB-mode report first, then the
    // status report, which may come shorter than its 65 bytes and so runs to the reply's end
    // (or to 65 bytes, after which a further report would begin).
    if (reply.size() < HAB_MODE_REPORT_BYTES || reply[0] != HAB_MODE_REPORT_ID) return false;
    const size_t status = HAB_MODE_REPORT_BYTES;
    if (reply.size() <= status || reply[status] != STATUS_REPORT_ID) return false;
    const size_t statusEnd = std::min(reply.size(), status + MAX_READ_BYTES);
    const size_t at = status + 1 + 4 * static_cast<size_t>(index);
    if (at + 4 > statusEnd) return false;
    word |= littleEndianWordAt(reply, at);
    return true;
}

// A libusb client for the remote-control test, linked against the installed libusb and
// run with the fake preloaded: it lists the bus at once, then answers one line per
// command read from stdin:
//   list              -> devices N VID:PID:SERIAL...
//   open SERIAL       -> RESULT   (open and claim interface 0)
//   out HEX           -> RESULT MOVED   (bulk OUT on 0x01, 1000 ms)
//   in TIMEOUT [N]    -> RESULT [HEX]   (bulk IN on 0x81, until N bytes came or one failed)
//   close | quit      -> ok
// With the argument "idle" it exits without touching libusb.
#include <libusb-1.0/libusb.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

namespace {

libusb_context* g_ctx = nullptr;
libusb_device_handle* g_handle = nullptr;

std::string serialOf(libusb_device* dev, const libusb_device_descriptor& d) {
    libusb_device_handle* h = nullptr;
    unsigned char buf[256] = {};
    if (d.iSerialNumber == 0 || libusb_open(dev, &h) != 0) return "-";
    libusb_get_string_descriptor_ascii(h, d.iSerialNumber, buf, sizeof buf);
    libusb_close(h);
    return reinterpret_cast<char*>(buf);
}

std::string list() {
    libusb_device** devices = nullptr;
    const ssize_t n = libusb_get_device_list(g_ctx, &devices);
    if (n < 0) return "error " + std::to_string(n);
    std::string out = "devices " + std::to_string(n);
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        libusb_get_device_descriptor(devices[i], &d);
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x:", d.idVendor, d.idProduct);
        out += " " + std::string(ids) + serialOf(devices[i], d);
    }
    libusb_free_device_list(devices, 1);
    return out;
}

int openSerial(const std::string& serial) {
    libusb_device** devices = nullptr;
    const ssize_t n = libusb_get_device_list(g_ctx, &devices);
    int result = LIBUSB_ERROR_NOT_FOUND;
    for (ssize_t i = 0; i < n && !g_handle; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(devices[i], &d) != 0 || serialOf(devices[i], d) != serial)
            continue;
        result = libusb_open(devices[i], &g_handle);
        if (result == 0 && (result = libusb_claim_interface(g_handle, 0)) != 0) {
            libusb_close(g_handle);
            g_handle = nullptr;
        }
    }
    libusb_free_device_list(devices, 1);
    return result;
}

void closeHandle() {
    if (!g_handle) return;
    libusb_release_interface(g_handle, 0);
    libusb_close(g_handle);
    g_handle = nullptr;
}

std::string hex(const unsigned char* data, int n) {
    std::string out;
    char two[3];
    for (int i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", data[i]);
        out += two;
    }
    return out;
}

std::string out(const std::string& data) {
    unsigned char buf[1024] = {};
    int length = 0, n = 0;
    for (size_t i = 0; i + 1 < data.size() && length < int(sizeof buf); i += 2)
        buf[length++] = static_cast<unsigned char>(std::stoul(data.substr(i, 2), nullptr, 16));
    const int result = libusb_bulk_transfer(g_handle, 0x01, buf, length, &n, 1000);
    return std::to_string(result) + " " + std::to_string(n);
}

std::string in(unsigned timeout, size_t want) {
    std::string got;
    int result;
    do {
        unsigned char buf[1024];
        int n = 0;
        result = libusb_bulk_transfer(g_handle, 0x81, buf, sizeof buf, &n, timeout);
        got += hex(buf, n);
    } while (result == 0 && got.size() < 2 * want);
    return std::to_string(result) + (got.empty() ? "" : " " + got);
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "idle") == 0) return 0;
    if (libusb_init(&g_ctx) != 0) {
        std::puts("init failed");
        return 1;
    }
    std::cout << libusb_get_version()->describe << " " << list() << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
        std::istringstream words(line);
        std::string verb, arg;
        size_t want = 0;
        words >> verb >> arg >> want;
        if (verb == "quit") break;
        if (verb == "list")
            std::cout << list();
        else if (verb == "open")
            std::cout << openSerial(arg);
        else if (verb == "close") {
            closeHandle();
            std::cout << "ok";
        } else if (verb == "out" && g_handle)
            std::cout << out(arg);
        else if (verb == "in" && g_handle)
            std::cout << in(static_cast<unsigned>(std::stoul(arg)), want);
        else
            std::cout << "unknown " << line;
        std::cout << std::endl;
    }
    closeHandle();
    libusb_exit(g_ctx);
    std::cout << "ok" << std::endl;
    return 0;
}

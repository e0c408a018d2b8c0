// Built against the installed libusb-1.0 and run with the fake linked ahead of
// it or preloaded: the client's libusb calls must all land in the fake.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <libusb-1.0/libusb.h>

#include "fakeusb.h"

namespace {

// Looked up at run time: this program does not link the fake when it is preloaded.
template <typename F> F* fake(const char* name) {
    return reinterpret_cast<F*>(dlsym(RTLD_DEFAULT, name));
}

TEST(FakeUsbInPlaceOfLibusb, ServesTheClientsCalls) {
    auto* initCount = fake<unsigned()>("fakeusb_init_count");
    auto* configInit = fake<decltype(fakeusb_config_init)>("fakeusb_config_init");
    auto* addDevice = fake<decltype(fakeusb_add_device)>("fakeusb_add_device");
    ASSERT_NE(initCount, nullptr) << "the fake is not loaded";
    ASSERT_NE(configInit, nullptr);
    ASSERT_NE(addDevice, nullptr);

    fakeusb_device_config c;
    configInit(&c, 0x1C5A, 0x0112, "40F5849A");
    addDevice(&c);
    const unsigned before = initCount();
    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    EXPECT_EQ(initCount(), before + 1);
    // Only the fake bus is visible, whatever the machine has plugged in.
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(ctx, &list), 1);
    libusb_device_descriptor d{};
    ASSERT_EQ(libusb_get_device_descriptor(list[0], &d), 0);
    EXPECT_EQ(d.idProduct, 0x0112);
    libusb_free_device_list(list, 1);
    EXPECT_STREQ(libusb_get_version()->describe, "fakeusb");
    libusb_exit(ctx);
}

} // namespace

// The Serial Download Protocol over USB HID (hidapi): reports go out with their report id,
// replies come back as a HAB-mode report (id 3) and a status report (id 4).
#pragma once

#include "SDPLoader.h"

typedef struct hid_device_ hid_device;

class HID_SDPLoader : public SDPLoader_Interface {
  public:
    HID_SDPLoader(u16 vendorId, u16 productId);
    ~HID_SDPLoader() override;
    HID_SDPLoader(const HID_SDPLoader&) = delete;
    HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

    // Opens the first device with the ids, whatever its serial number.
    bool init() override;
    // hidapi's result: the bytes written, or -1 (also when the device is not open).
    long writeData(const std::vector<unsigned char>& report) override;
    // Collects reports until none comes within timeoutMs (0: only those already there),
    // at most MAX_REPLY_BYTES.
    long readData(std::vector<unsigned char>& reply, u32 timeoutMs) override;
    // The word is in the status report that follows the HAB-mode report; index counts words.
    bool getDataFromBuffer(const std::vector<unsigned char>& reply, u32 index, u32& word) override;

  private:
    hid_device* handle_ = nullptr;
    u16 vendorId_;
    u16 productId_;
};

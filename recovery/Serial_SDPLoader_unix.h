// The Serial Download Protocol over a serial port (termios): the report id stays behind, the
// reply is the HAB-mode word and the status word with nothing around them.
#pragma once

#include "SDPLoader.h"

struct PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
  public:
    // Opens nothing; the path is copied.
    explicit Serial_SDPLoader(const char* path);
    ~Serial_SDPLoader() override;
    Serial_SDPLoader(const Serial_SDPLoader&) = delete;
    Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

    // Opens the port raw at 115200 baud, 8N1; false when it cannot be opened or is not a
    // terminal.
    bool init() override;
    // Sends every byte but the report id; the bytes sent, which fall short of the report's
    // size − 1 only when the port took nothing for a while (or is not open: -1).
    long writeData(const std::vector<unsigned char>& report) override;
    // Waits the whole time-out, then takes what has arrived, at most MAX_REPLY_BYTES.
    long readData(std::vector<unsigned char>& reply, u32 timeoutMs) override;
    // The word follows the 4-byte HAB-mode word; index counts words.
    bool getDataFromBuffer(const std::vector<unsigned char>& reply, u32 index, u32& word) override;

  private:
    PrivateSerial_SDPLoader* d_;
};

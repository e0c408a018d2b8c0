// The i.MX Serial Download Protocol engine: command and data reports to a chip's boot ROM,
// through a transport (USB HID or a serial port) that it owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

// A command report: report id and 16 command bytes.
constexpr u8 MAX_COMMAND_BYTES = 17;
// One HID input report, id included.
constexpr u16 MAX_READ_BYTES = 65;
// File bytes per data report.
constexpr u16 MAX_WRITE_BYTES = 1024;
// What one read may collect: a reply is a HAB-mode report and a status report, so anything
// near this is a device that floods, and the read ends instead of growing without end.
constexpr u32 MAX_REPLY_BYTES = 16 * MAX_READ_BYTES;

// The little-endian word at bytes at to at + 3, the order of every word a boot ROM sends.
inline u32 littleEndianWordAt(const std::vector<unsigned char>& bytes, size_t at) {
    return static_cast<u32>(bytes[at]) | static_cast<u32>(bytes[at + 1]) << 8 |
           static_cast<u32>(bytes[at + 2]) << 16 | static_cast<u32>(bytes[at + 3]) << 24;
}

namespace IMX1050 {
constexpr u32 OCOTP_BASE_ADDRESS = 0x401F4000;
// The fuse words that hold the unique identity.
constexpr u32 CFG0_OFFSET = 0x410;
constexpr u32 CFG1_OFFSET = 0x420;
// The boot ROM's USB HID identity.
constexpr u16 VID = 0x1FC9;
constexpr u16 PID = 0x0130;
constexpr u32 DEFAULT_IMX_LOADER_IVT_ADDRESS = 0x20000400;
} // namespace IMX1050

// How the engine's reports reach the boot ROM. Reports begin with their report id (1 for
// commands, 2 for data); each transport sends it or not as its wire needs.
class SDPLoader_Interface {
  public:
    virtual ~SDPLoader_Interface() = default;
    // Opens the device; true when it is ready.
    virtual bool init() = 0;
    // Sends one report; the bytes written (the report's size when all went out, less the id
    // when the transport does not send it), or -1.
    virtual long writeData(const std::vector<unsigned char>& report) = 0;
    // Appends what the device answers within timeoutMs to reply; the bytes appended.
    virtual long readData(std::vector<unsigned char>& reply, u32 timeoutMs) = 0;
    // ORs the little-endian word number index (in 32-bit words) of the reply's status into
    // word; false, with word untouched, when the reply does not hold it.
    virtual bool getDataFromBuffer(const std::vector<unsigned char>& reply, u32 index,
                                   u32& word) = 0;
};

class SDPLoader {
  public:
    // Engine result codes.
    enum : int {
        SUCCESS = 0,
        NO_TRANSPORT = 1,
        NOT_ALIVE = 2,
        DATA_DURING_WRITE = 3,
        NOT_COMPLETED = 4,
        TRANSPORT_INIT_FAILED = 6,
        NO_REGISTER_WORD = 7,
    };
    static constexpr u32 COMPLETE_WORD = 0x88888888;
    static constexpr u32 ACK_WORD = 0xF0F0F0F0;

    SDPLoader() = default;
    ~SDPLoader();
    SDPLoader(const SDPLoader&) = delete;
    SDPLoader& operator=(const SDPLoader&) = delete;

    // Takes ownership when transport is non-null and none is set yet; otherwise false, and
    // the caller keeps it.
    bool setLoader(SDPLoader_Interface* transport);
    int init();
    // Writes image into the device's memory at address.
    int writeLoader(std::vector<unsigned char> image, u32 address);
    // Has the boot ROM jump to address; whether the code starts is not checked.
    void startLoader(u32 address);
    // ORs the chip's 64-bit unique identity into id: CFG1 high, CFG0 low.
    int getFingerprint(u64& id);

  private:
    void _createStatusPacket(std::vector<unsigned char>& report);
    void _createWriteFilePacket(std::vector<unsigned char>& report, u32 address, u32 count);
    void _createJumpPacket(std::vector<unsigned char>& report, u32 address);
    void _create4ByteReadRegisterPacket(std::vector<unsigned char>& report, u32 address);
    void _fillCommand(std::vector<unsigned char>& report);
    bool _isConnectionAlive();
    bool _expectAck(const std::vector<unsigned char>& reply);
    bool _expectResponse(const std::vector<unsigned char>& reply);
    bool _expectSuccess(const std::vector<unsigned char>& reply);
    void _printBuffer(const std::vector<unsigned char>& buffer);
    // Writes a command and collects its reply, logging both.
    void _query(const std::vector<unsigned char>& report, std::vector<unsigned char>& reply);
    bool _readRegister(u32 address, u32& word);

    SDPLoader_Interface* transport_ = nullptr;
};

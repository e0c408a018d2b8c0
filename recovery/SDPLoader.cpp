// The i.MX Serial Download Protocol engine. Every command is one 17-byte report followed by
// the device's reply (a HAB-mode word, then a status word); file bytes go in data reports.
#include "SDPLoader.h"

#include <sys/types.h>

#include <algorithm>
#include <string>

#include "Log.h"

namespace {

constexpr u8 COMMAND_REPORT_ID = 1;
constexpr u8 DATA_REPORT_ID = 2;
constexpr u16 READ_REGISTER = 0x0101;
constexpr u16 WRITE_FILE = 0x0404;
constexpr u16 ERROR_STATUS = 0x0505;
constexpr u16 JUMP_ADDRESS = 0x0B0B;
constexpr u8 FORMAT_32_BIT = 0x20;
constexpr int ALIVE_ATTEMPTS = 5;
constexpr u32 REPLY_TIMEOUT_MS = 100;

void push16(std::vector<unsigned char>& report, u16 value) {
    report.push_back(static_cast<unsigned char>(value >> 8));
    report.push_back(static_cast<unsigned char>(value));
}

void push32(std::vector<unsigned char>& report, u32 value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        report.push_back(static_cast<unsigned char>(value >> shift));
}

// Id, command and address: the fields every command starts with.
void startCommand(std::vector<unsigned char>& report, u16 command, u32 address) {
    report.push_back(COMMAND_REPORT_ID);
    push16(report, command);
    push32(report, address);
}

// Whether the whole report went: a transport that leaves the report id behind (the serial
// port) counts the bytes without it.
bool wroteAll(long written, const std::vector<unsigned char>& report) {
    return written >= 0 && static_cast<size_t>(written) + 1 >= report.size();
}

} // namespace

SDPLoader::~SDPLoader() {
    delete transport_;
}

bool SDPLoader::setLoader(SDPLoader_Interface* transport) {
    if (!transport || transport_) return false;
    transport_ = transport;
    return true;
}

int SDPLoader::init() {
    if (!transport_) return NO_TRANSPORT;
    return transport_->init() ? SUCCESS : TRANSPORT_INIT_FAILED;
}

void SDPLoader::_fillCommand(std::vector<unsigned char>& report) {
    if (report.size() < MAX_COMMAND_BYTES) report.resize(MAX_COMMAND_BYTES, 0);
}

void SDPLoader::_createStatusPacket(std::vector<unsigned char>& report) {
    report.clear();
    startCommand(report, ERROR_STATUS, 0);
    _fillCommand(report);
}

void SDPLoader::_createWriteFilePacket(std::vector<unsigned char>& report, u32 address, u32 count) {
    report.clear();
    startCommand(report, WRITE_FILE, address);
    report.push_back(FORMAT_32_BIT);
    push32(report, count);
    _fillCommand(report);
}

void SDPLoader::_createJumpPacket(std::vector<unsigned char>& report, u32 address) {
    // Emptied like the others: a reused vector would otherwise carry its old bytes first.
    report.clear();
    startCommand(report, JUMP_ADDRESS, address);
    _fillCommand(report);
}

void SDPLoader::_create4ByteReadRegisterPacket(std::vector<unsigned char>& report, u32 address) {
    report.clear();
    startCommand(report, READ_REGISTER, address);
    report.push_back(FORMAT_32_BIT);
    push32(report, 4);
    _fillCommand(report);
}

void SDPLoader::_printBuffer(const std::vector<unsigned char>& buffer) {
    if ((Log::package_bitmask & DEBUG_iMXSerial) == 0) return;
    std::string text;
    char hex[4];
    for (unsigned char byte : buffer) {
        snprintf(hex, sizeof hex, "%X ", byte);
        text += hex;
    }
    Log::log(DEBUG_iMXSerial, "%s\n", text.c_str());
}

bool SDPLoader::_expectResponse(const std::vector<unsigned char>& reply) {
    u32 word = 0;
    return transport_->getDataFromBuffer(reply, 0, word);
}

bool SDPLoader::_expectAck(const std::vector<unsigned char>& reply) {
    u32 word = 0;
    return transport_->getDataFromBuffer(reply, 0, word) && word == ACK_WORD;
}

bool SDPLoader::_expectSuccess(const std::vector<unsigned char>& reply) {
    u32 word = 0;
    return transport_->getDataFromBuffer(reply, 0, word) && word == COMPLETE_WORD;
}

void SDPLoader::_query(const std::vector<unsigned char>& report,
                       std::vector<unsigned char>& reply) {
    long written = transport_->writeData(report);
    Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", static_cast<size_t>(written));
    _printBuffer(report);
    long got = transport_->readData(reply, REPLY_TIMEOUT_MS);
    Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", static_cast<ssize_t>(got));
    _printBuffer(reply);
}

bool SDPLoader::_isConnectionAlive() {
    std::vector<unsigned char> report;
    _createStatusPacket(report);
    for (int attempt = 0; attempt < ALIVE_ATTEMPTS; ++attempt) {
        std::vector<unsigned char> reply;
        _query(report, reply);
        if (_expectResponse(reply)) return true;
    }
    Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
    return false;
}

int SDPLoader::writeLoader(std::vector<unsigned char> image, u32 address) {
    if (!transport_) return NO_TRANSPORT;
    if (!_isConnectionAlive()) return NOT_ALIVE;

    std::vector<unsigned char> report;
    _createWriteFilePacket(report, address, static_cast<u32>(image.size()));
    long written = transport_->writeData(report);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", static_cast<ssize_t>(written));
    _printBuffer(report);
    // A device that missed the command or a data report would take the rest as something
    // else; what follows a broken file is never its completion.
    if (!wroteAll(written, report)) {
        Log::log(DEBUG_iMXSerial, "Error: command not written. Aborting\n");
        return NOT_COMPLETED;
    }

    std::vector<unsigned char> reply;
    int total = 0;
    int loop = 0;
    size_t position = 0;
    while (position < image.size()) {
        reply.clear();
        long got = transport_->readData(reply, 0);
        Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", static_cast<ssize_t>(got));
        _printBuffer(reply);
        if (!reply.empty()) {
            Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
            return DATA_DURING_WRITE;
        }
        size_t slice = std::min<size_t>(MAX_WRITE_BYTES, image.size() - position);
        report.assign(1, DATA_REPORT_ID);
        report.insert(report.end(), image.begin() + static_cast<std::ptrdiff_t>(position),
                      image.begin() + static_cast<std::ptrdiff_t>(position + slice));
        position += slice;
        written = transport_->writeData(report);
        total += static_cast<int>(written);
        Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n",
                 static_cast<ssize_t>(written), total, loop, static_cast<long>(position),
                 static_cast<ssize_t>(report.size()));
        if (!wroteAll(written, report)) {
            Log::log(DEBUG_iMXSerial, "Error: data report %d not written. Aborting\n", loop);
            return NOT_COMPLETED;
        }
        ++loop;
    }

    Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", total);
    reply.clear();
    transport_->readData(reply, REPLY_TIMEOUT_MS);
    Log::log(DEBUG_iMXSerial, "Data Read: \n");
    _printBuffer(reply);
    if (_expectSuccess(reply)) {
        Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
        return SUCCESS;
    }
    Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
    return NOT_COMPLETED;
}

void SDPLoader::startLoader(u32 address) {
    if (!transport_) return;
    std::vector<unsigned char> report;
    _createJumpPacket(report, address);
    long written = transport_->writeData(report);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", static_cast<ssize_t>(written));
    _printBuffer(report);
    // A boot ROM that jumped says nothing; one that refused sends its status. Neither is judged.
    std::vector<unsigned char> reply;
    transport_->readData(reply, REPLY_TIMEOUT_MS);
}

bool SDPLoader::_readRegister(u32 address, u32& word) {
    std::vector<unsigned char> report;
    _create4ByteReadRegisterPacket(report, address);
    std::vector<unsigned char> reply;
    _query(report, reply);
    return transport_->getDataFromBuffer(reply, 0, word);
}

int SDPLoader::getFingerprint(u64& id) {
    if (!transport_) return NO_TRANSPORT;
    if (!_isConnectionAlive()) return NOT_ALIVE;
    u32 low = 0;
    if (!_readRegister(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG0_OFFSET, low))
        return NO_REGISTER_WORD;
    u32 high = 0;
    if (!_readRegister(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG1_OFFSET, high))
        return NO_REGISTER_WORD;
    id |= low;
    id |= static_cast<u64>(high) << 32;
    return SUCCESS;
}

// The updater's side of a module's firmware-upgrade entity (command 0x5F): a loader put into
// the running module and started, firmware written piece by piece with byte-sum checks, reboot.
#pragma once

#include <cstdint>

#include "Entity.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"

class UpdaterEntity : public Keldoran::Tessaform::EntityClass {
  public:
    static constexpr uint8_t cmdUPGRADE = 0x5F;
    static constexpr uint8_t val_UPGRADE_INIT = 0;
    static constexpr uint8_t val_UPGRADE_DATA = 1;
    static constexpr uint8_t val_UPGRADE_LOAD = 2;
    static constexpr uint8_t val_UPGRADE_PREPARE = 3;
    static constexpr uint8_t val_UPGRADE_SUM = 4;
    static constexpr uint8_t val_UPGRADE_WRITE = 5;
    static constexpr uint8_t val_UPGRADE_REBOOT = 6;
    static constexpr uint8_t val_UPGRADE_STATUS = 7;
    static constexpr uint8_t val_UPGRADE_DATA_UEI = 10;

    // Sends of one data packet whose length the module keeps echoing wrongly, before the
    // piece fails.
    static constexpr unsigned DATA_TRIES = 5;
    // 250 ms rounds of waiting for the link to drop after a reboot (10 s): a module that is
    // still up by then did not restart.
    static constexpr unsigned REBOOT_WAIT_ROUNDS = 40;

    UpdaterEntity();
    ~UpdaterEntity() override;

    // Binds the entity to a connected module, which must outlive it. No traffic.
    void init(Keldoran::Tessaform::Module* module, uint8_t index, bool validateSum,
              bool noWaitOnReboot);

    aErr LoaderInit();
    // `block` starts with its 4-byte big-endian load address; sets blockSize from the reply.
    aErr TransferPrepare(const uint8_t* block, uint32_t length, uint8_t flags, uint16_t& blockSize);
    // The loader block after its address, as one piece with one sum check and no write.
    aErr LoaderTransfer(const uint8_t* block, uint32_t length);
    // The block after its address in pieces of blockSize, each checked and written.
    aErr FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t blockSize,
                          UpdaterDisplayInterface& display);
    aErr FirmwareWrite(uint32_t length);
    // LOAD, and when no reply comes one reconnection and one more wait.
    aErr LoaderStart();
    // REBOOT, then the wait for the link to drop (one round with noWaitOnReboot).
    aErr LoaderReboot(UpdaterDisplayInterface& display);
    // 0 when the module takes whole pieces as one byte-buffer set; switches that on.
    aErr CheckUEIDataSupport();
    // Pooled packets on the module's link when its protocol features offer them.
    aErr CheckPooledPacketsSupport();

  private:
    aErr _reconnect(uint32_t delayMs);
    aErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t& count);
    aErr _block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& count,
                                    uint32_t& sum);
    // Drops queued replies that begin with cmdUPGRADE, `awaited` (late answers to an earlier
    // request would pass for this one's), then sends cmdUPGRADE, subCommand, bytes.
    aErr request(uint8_t subCommand, uint8_t awaited, const uint8_t* bytes, uint8_t count);
    // The reply beginning with cmdUPGRADE, `awaited`: its data in `reply` (28 bytes).
    aErr awaitReply(uint8_t awaited, uint8_t* reply, uint8_t& replyLength);

    Keldoran::Tessaform::Module* module;
    bool validateSum;
    bool noWaitOnReboot;
    bool ueiData;
};

// UpdaterEntity: the host side of a device's upgrade entity (command 0x5F).
// It initialises the upgrade, prepares blocks at their load addresses, sends
// image data (26 bytes per packet, or one UEI byte run when the device takes
// it), checks each chunk's checksum, has firmware chunks written, starts the
// loader and reboots the device. The two sequences at the end send a BIRD
// file's loader blocks and its firmware blocks.
#pragma once

#include <cstdint>

#include "Lumivance2/common/aError.h"
#include "UpdaterDisplayInterface.h"
#include "objects/Entity.h"
#include "objects/Module.h"

class BirdFile;

// Upgrade entity command byte and options.
constexpr uint8_t cmdUPGRADE = 0x5F;
enum : uint8_t {
    val_UPGRADE_INIT = 0,
    val_UPGRADE_DATA = 1,
    val_UPGRADE_LOAD = 2,
    val_UPGRADE_PREPARE = 3,
    val_UPGRADE_SUM = 4,
    val_UPGRADE_WRITE = 5,
    val_UPGRADE_REBOOT = 6,
    val_UPGRADE_STATUS = 7,
    val_UPGRADE_DATA_UEI = 10,
};

// Most image bytes in one DATA packet (28 data bytes less command and option).
constexpr unsigned kUpgradeDataPerPacket = 26;
// Resends of one DATA packet whose count the device keeps getting wrong.
constexpr unsigned kUpgradeMaxDataResends = 8;
// 250 ms passes waiting for a direct link to drop after REBOOT (15 s).
constexpr unsigned kUpgradeMaxRebootPasses = 60;
// The serial number a device in its loader may enumerate with.
constexpr uint32_t kUpgradeDefaultSerial = 0xCDBFBBEB;

class UpdaterEntity : public Morvanex::Lumivance::EntityClass {
  public:
    UpdaterEntity() = default;
    ~UpdaterEntity() override;

    aErr init(Morvanex::Lumivance::Module* module, unsigned char index, bool validateBlocks,
              bool viaRouter);

    aErr LoaderInit();
    aErr TransferPrepare(const uint8_t* data, unsigned length, uint8_t flags, uint16_t& blockSize);
    aErr LoaderStart();
    aErr CheckUEIDataSupport();
    aErr CheckPooledPacketsSupport();
    aErr LoaderTransfer(const uint8_t* data, unsigned length);
    aErr FirmwareTransfer(const uint8_t* data, unsigned length, uint16_t blockSize,
                          UpdaterDisplayInterface& display);
    aErr FirmwareWrite(unsigned count);
    aErr LoaderReboot(UpdaterDisplayInterface& display);

    bool ueiData() const { return ueiDataSupported; }

  private:
    aErr _reconnect(unsigned delayMs);
    aErr _block_transfer(const uint8_t* data, unsigned length, unsigned& blocks);
    aErr _block_transfer_uei_helper(const uint8_t* data, unsigned length, unsigned& blocks,
                                    unsigned& sum);
    // Sends option and payload; awaits the first reply starting with 5F `replyOption`.
    aErr _request(uint8_t option, const uint8_t* payload, uint8_t payloadLength);
    aErr _await(uint8_t replyOption, uint8_t* reply, uint8_t& replyLength);

    Morvanex::Lumivance::Module* module = nullptr;
    bool validateBlocks = true;
    bool viaRouter = false;
    bool ueiDataSupported = false;
};

// Sends the file's loader blocks and starts the loader.
aErr _transfer_loader(UpdaterDisplayInterface& display, Morvanex::Lumivance::Module& module,
                      const BirdFile& birdFile);
// Sends the file's firmware blocks (five attempts each), then reboots.
aErr _transfer_firmware(UpdaterDisplayInterface& display, Morvanex::Lumivance::Module& module,
                        const BirdFile& birdFile, bool viaRouter, bool useUEIBytes);

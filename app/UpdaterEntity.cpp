#include "UpdaterEntity.h"

#include <cstring>
#include <vector>

#include "Log.h"
#include "Lumivance2/common/aDefs.h"
#include "Lumivance2/common/aTime.h"
#include "Lumivance2/common/aUEI.h"
#include "firmware/BirdFile.h"
#include "objects/SystemClass.h"

using Morvanex::Lumivance::Link;
using Morvanex::Lumivance::Module;
using Morvanex::Lumivance::SystemClass;

namespace {

constexpr unsigned kReconnectAttempts = 5;
constexpr unsigned kRebootPassMs = 250;
constexpr unsigned kFirmwareAttempts = 5;

uint32_t readBE32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

unsigned byteSum(const uint8_t* data, unsigned length) {
    unsigned sum = 0;
    for (unsigned i = 0; i < length; ++i) sum += data[i];
    return sum;
}

}  // namespace

UpdaterEntity::~UpdaterEntity() = default;

aErr UpdaterEntity::init(Module* m, unsigned char index, bool validate, bool router) {
    module = m;
    validateBlocks = validate;
    viaRouter = router;
    ueiDataSupported = false;
    return EntityClass::init(m, cmdUPGRADE, index);
}

aErr UpdaterEntity::_request(uint8_t option, const uint8_t* payload, uint8_t payloadLength) {
    uint8_t bytes[aPACKET_MAXDATA];
    bytes[0] = option;
    if (payloadLength) std::memcpy(&bytes[1], payload, payloadLength);
    return sendPacket(cmdUPGRADE, uint8_t(payloadLength + 1), bytes);
}

aErr UpdaterEntity::_await(uint8_t replyOption, uint8_t* reply, uint8_t& replyLength) {
    const uint8_t match[2] = {cmdUPGRADE, replyOption};
    replyLength = 2;
    return receivePacket(match, &replyLength, reply);
}

aErr UpdaterEntity::LoaderInit() {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    aErr err = _request(val_UPGRADE_INIT, nullptr, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", int(err));
        return err;
    }
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t length = 0;
    err = _await(val_UPGRADE_INIT, reply, length);
    if (err != aErrNone) return err;
    if (length <= 5) return aErrPacket;
    uint32_t base = readBE32(&reply[2]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", int(base), base);
    return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* data, unsigned length, uint8_t flags,
                                    uint16_t& blockSize) {
    if (!data || length < 4) return aErrParam;
    uint32_t address = readBE32(data);
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", int(length),
             flags, int(blockSize));
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X "
             "%02X]} \n",
             flags, data[0], data[1], data[2], data[3]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", int(address));
    const uint8_t payload[5] = {flags, uint8_t(address >> 24), uint8_t(address >> 16),
                                uint8_t(address >> 8), uint8_t(address)};
    aErr err = _request(val_UPGRADE_PREPARE, payload, sizeof payload);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", int(err));
        return err;
    }
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t replyLength = 0;
    err = _await(val_UPGRADE_STATUS, reply, replyLength);
    if (err != aErrNone) return err;
    // A reply too short for status and block size counts as a refusal.
    if (replyLength < 5 || reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return aErrInvalidOption;
    }
    blockSize = uint16_t(reply[3] << 8 | reply[4]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n",
             int(blockSize));
    return aErrNone;
}

aErr UpdaterEntity::_reconnect(unsigned delayMs) {
    if (!module) return aErrConnection;
    module->disconnect();
    aErr err = aErrNotFound;
    for (unsigned attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n",
                 int(attempt), int(kReconnectAttempts));
        err = module->reconnect();
        if (err == aErrNone) {
            Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                 int(delayMs));
        aTime_MSSleep(delayMs);
    }
    for (unsigned attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n",
                 int(attempt), int(kReconnectAttempts));
        err = module->connect(LINK_USB, kUpgradeDefaultSerial);
        if (err == aErrNone) {
            Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                 int(delayMs));
        aTime_MSSleep(delayMs);
    }
    return err;
}

aErr UpdaterEntity::LoaderStart() {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    aErr err = _request(val_UPGRADE_LOAD, nullptr, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", int(err));
        return err;
    }
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t length = 0;
    if (_await(val_UPGRADE_LOAD, reply, length) == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    // No answer: the device most likely restarted into its loader and
    // re-enumerated; find it again and look for the answer there.
    err = _reconnect(500);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n",
                 int(err), aError_GetErrorText(err));
        return aErrTimeout;
    }
    err = _await(val_UPGRADE_LOAD, reply, length);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", int(err),
                 aError_GetErrorText(err));
        return aErrTimeout;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
    return aErrNone;
}

aErr UpdaterEntity::CheckUEIDataSupport() {
    if (!module) return aErrConnection;
    aErr err = module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, Morvanex::Lumivance::kHasUEISet);
    Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", int(err));
    if (err == aErrNone) ueiDataSupported = true;
    return err;
}

aErr UpdaterEntity::CheckPooledPacketsSupport() {
    if (!module) return aErrConnection;
    SystemClass system;
    system.init(module, 0);
    unsigned int features = 0;
    aErr err = system.getProtocolFeatures(&features);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n", int(features),
             int(err));
    if (err != aErrNone) return err;
    if (features & 0x80000000u) {
        Link* link = module->getLink();
        if (!link) return aErrConnection;
        return link->enablePooledPackets(true);
    }
    return aErrNone;
}

aErr UpdaterEntity::_block_transfer_uei_helper(const uint8_t* data, unsigned length,
                                               unsigned& blocks, unsigned& sum) {
    Log::log(DEBUG_Network_FIRM,
             "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n", int(length));
    aErr err = setUEIBytes(val_UPGRADE_DATA_UEI, data, length);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", int(err));
        return err;
    }
    sum = byteSum(data, length);
    blocks = 1;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", int(length));
    return aErrNone;
}

aErr UpdaterEntity::_block_transfer(const uint8_t* data, unsigned length, unsigned& blocks) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    unsigned sum = 0;
    unsigned sent = 0;
    aErr err = aErrNone;
    if (ueiDataSupported) {
        err = _block_transfer_uei_helper(data, length, blocks, sum);
        if (err != aErrNone) return err;
        sent = length;
    } else {
        unsigned resends = 0;
        while (sent < length && err == aErrNone) {
            unsigned n =
                length - sent < kUpgradeDataPerPacket ? length - sent : kUpgradeDataPerPacket;
            Log::log(DEBUG_Network_FIRM,
                     "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", int(n));
            err = _request(val_UPGRADE_DATA, data + sent, uint8_t(n));
            if (err != aErrNone) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n",
                         int(err));
                return err;
            }
            uint8_t reply[aPACKET_MAXDATA];
            uint8_t replyLength = 0;
            if (_await(val_UPGRADE_DATA, reply, replyLength) != aErrNone) {
                Log::log(DEBUG_Network_FIRM,
                         "\nNETWORK(DATA): No reply when initializing upgrade.\n");
                err = aErrPacket;
                break;
            }
            unsigned accepted = replyLength > 2 ? reply[2] : 0;
            if (accepted != n) {
                Log::log(DEBUG_Network_FIRM,
                         "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n",
                         int(accepted), int(n));
                // The same bytes go again, but a device that never takes
                // them must not keep the tool here for ever.
                if (++resends > kUpgradeMaxDataResends) {
                    Log::log(DEBUG_Network_FIRM,
                             "\nNETWORK: Giving up after %u resends of the same data.\n",
                             kUpgradeMaxDataResends);
                    err = aErrPacket;
                }
                continue;
            }
            resends = 0;
            sum += byteSum(data + sent, n);
            sent += n;
            ++blocks;
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                     int(n), int(length - sent), int(length));
        }
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", int(sent), int(length));
    if (err != aErrNone || !validateBlocks) return err;

    Log::log(DEBUG_Network_FIRM,
             "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    _request(val_UPGRADE_SUM, nullptr, 0);  // a lost request shows as a missing reply
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t replyLength = 0;
    if (_await(val_UPGRADE_STATUS, reply, replyLength) != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return aErrPacket;
    }
    uint8_t status = replyLength > 2 ? reply[2] : 0xFF;
    uint32_t deviceSum = replyLength >= 7 ? readBE32(&reply[3]) : 0;
    if (status != 0 || replyLength < 7 || deviceSum != sum) {
        Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum,
                 deviceSum);
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n",
             status, sum, deviceSum, int(blocks));
    return aErrNone;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* data, unsigned length) {
    if (!data || length < 4) return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", readBE32(data),
             int(length - 4));
    unsigned blocks = 0;
    return _block_transfer(data + 4, length - 4, blocks);
}

aErr UpdaterEntity::FirmwareWrite(unsigned count) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
             int(count));
    const uint8_t payload[2] = {uint8_t(count >> 8), uint8_t(count)};
    aErr err = _request(val_UPGRADE_WRITE, payload, sizeof payload);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", int(err),
                 aError_GetErrorText(err));
        return err;
    }
    uint8_t reply[aPACKET_MAXDATA];
    reply[2] = 0xFF;
    uint8_t replyLength = 0;
    err = _await(val_UPGRADE_STATUS, reply, replyLength);
    uint8_t status = replyLength > 2 ? reply[2] : 0xFF;
    if (err != aErrNone || status != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return aErrNone;
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* data, unsigned length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display) {
    if (!data || length < 4) return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", readBE32(data),
             int(length - 4));
    const uint8_t* image = data + 4;
    unsigned remaining = length - 4;
    unsigned blocks = 0;
    aErr err = aErrNone;
    display.display_progress(true);
    while (remaining > 0 && err == aErrNone) {
        if (blockSize == 0) {
            // Chunks of 0 bytes would never finish the block.
            Log::log(DEBUG_Network_FIRM, "NETWORK: Device granted a block size of 0\n");
            err = aErrInvalidOption;
            break;
        }
        unsigned chunk = remaining < blockSize ? remaining : blockSize;
        unsigned chunkBlocks = 0;
        err = _block_transfer(image, chunk, chunkBlocks);
        if (err != aErrNone) break;
        image += chunk;
        remaining -= chunk;
        ++blocks;
        display.update_progress(double(length - remaining) / double(length), nullptr);
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                 int(chunk), int(remaining), int(length));
        err = FirmwareWrite(chunk);
    }
    display.display_progress(false);
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", int(length - remaining),
             int(length));
    if (err != aErrNone) Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return err;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    aErr result = _request(val_UPGRADE_REBOOT, nullptr, 0);
    if (result != aErrNone) Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    // A direct link drops when the device restarts; a router's link stays up,
    // so one pass is enough there. The wait is bounded for a device that
    // never goes away.
    unsigned passes = 0;
    while (module && module->isConnected()) {
        aTime_MSSleep(kRebootPassMs);
        display.update_spinner(true, "Verifying Update");
        Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
        if (viaRouter) break;
        if (++passes >= kUpgradeMaxRebootPasses) {
            Log::log(DEBUG_Network_FIRM, "Link did not drop after %u ms; not waiting longer.\n",
                     kUpgradeMaxRebootPasses * kRebootPassMs);
            break;
        }
    }
    display.update_spinner(false, "Verifying Update");
    return result;
}

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, const BirdFile& birdFile) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    aErr err = entity.LoaderInit();
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", int(err),
                 aError_GetErrorText(err));
        return err;
    }
    display.message(UpdaterDisplayInterface::Info, "Transferring loader to device");
    std::vector<BirdBlock> blocks = birdFile.FindBlocks(BLOCK_LOADER);
    display.display_progress(true);
    unsigned number = 1;
    unsigned total = 0;
    // The loader only runs when every block of it arrived: the first failed
    // block decides the result even when later blocks go through.
    aErr failed = aErrNone;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const BirdBlock& b = blocks[i];
        display.message(UpdaterDisplayInterface::Info,
                        "Transferring loader block %d of %d, %d bytes", int(number),
                        int(blocks.size()), int(b.length));
        uint16_t blockSize = 0;
        err = entity.TransferPrepare(b.data, b.length, b.flags, blockSize);
        if (err != aErrNone && err != aErrTimeout) {
            Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", int(err),
                     aError_GetErrorText(err));
            break;
        }
        err = entity.LoaderTransfer(b.data, b.length);
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", int(err),
                     aError_GetErrorText(err));
            if (failed == aErrNone) failed = err;
            continue;
        }
        total += b.length;
        ++number;
    }
    display.message(UpdaterDisplayInterface::Info, "Transferred %d blocks, %d total bytes",
                    int(number - 1), int(total));
    display.display_progress(false);
    if (err == aErrNone && failed != aErrNone) err = failed;
    if (err == aErrNone) {
        display.message(UpdaterDisplayInterface::Info, "Starting Load on Device");
        err = entity.LoaderStart();
        if (err == aErrTimeout) {
            Log::log(DEBUG_Updater,
                     "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
            err = aErrNone;
        } else if (err != aErrNone) {
            display.message(UpdaterDisplayInterface::Error, "Error starting loader [%d, %s]",
                            int(err), aError_GetErrorText(err));
        }
    }
    return err;
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, const BirdFile& birdFile,
                        bool viaRouter, bool useUEIBytes) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, viaRouter);
    if (useUEIBytes && entity.CheckUEIDataSupport() == aErrNone) entity.CheckPooledPacketsSupport();
    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", birdFile.Path().c_str());
    std::vector<BirdBlock> blocks = birdFile.FindBlocks(BLOCK_FIRMWARE);
    aErr err = aErrNone;
    unsigned sent = 0;
    unsigned total = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const BirdBlock& b = blocks[i];
        for (unsigned attempt = 0; attempt < kFirmwareAttempts; ++attempt) {
            display.message(UpdaterDisplayInterface::Info,
                            "Transferring firmware block %u of %u, %d bytes", unsigned(i + 1),
                            unsigned(blocks.size()), int(b.length));
            if (attempt > 0)
                display.message(UpdaterDisplayInterface::Info, "  Retry %d", int(attempt));
            uint16_t blockSize = 0;
            err = entity.TransferPrepare(b.data, b.length, b.flags, blockSize);
            if (err != aErrNone) {
                Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", int(err),
                         aError_GetErrorText(err));
                break;
            }
            err = entity.FirmwareTransfer(b.data, b.length, blockSize, display);
            if (err == aErrNone) break;
            Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", int(err),
                     aError_GetErrorText(err));
        }
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
            break;
        }
        ++sent;
        total += b.length;
    }
    display.message(UpdaterDisplayInterface::Info, "Transferred %d blocks, %d total bytes",
                    int(sent), int(total));
    if (err == aErrNone) err = entity.LoaderReboot(display);
    return err;
}

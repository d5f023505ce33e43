// Links: live connections to one device over one byte stream, named by link
// ids (32-bit, from 1; 0 means none).
//
// A running link has a reader thread, which assembles packets from the
// stream, answers the device's heartbeats, offers each packet to an optional
// user filter and queues the rest for callers, and a writer thread, which
// sends queued packets singly or pooled into larger writes. The link
// synchronises with the device when it loses packet alignment (and, for USB,
// right after it is created). Callers only put packets, take or await
// received packets and watch the status, all by id.
//
// Every packet taken from a link is a new packet owned by the caller
// (aPacket_Destroy); every packet put into a link is copied.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aDefs.h"
#include "aError.h"
#include "aPacket.h"

struct aStream;
struct aLink;

// Link status values (aLink_GetStatus). 7 is not used.
enum : int32_t {
    LINK_STATUS_STOPPED = 0,       // threads not running
    LINK_STATUS_INITIALIZING = 1,  // threads being started
    LINK_STATUS_RUNNING = 2,       // packets flow
    LINK_STATUS_STOPPING = 3,      // threads being stopped
    LINK_STATUS_SYNCING = 4,       // synchronisation with the device under way
    LINK_STATUS_INVALID = 5,       // no stream, or no link has that id
    LINK_STATUS_IO_ERROR = 6,      // the last stream read failed
    LINK_STATUS_PACKET_ERROR = 8,  // a received packet could not be queued
};

// Reserved packet addresses.
#define aLINK_SYNC_ADDRESS 0xAD   // synchronisation and module-address query
#define aLINK_ROUTE_ADDRESS 0xAF  // route packet, data 1 on start and 0 on stop

// ---- Creation, sharing and destruction ----------------------------------
// Each returns the new or shared link id, or 0 on failure (nothing is left
// behind). A link for a device that already has one (same type and serial
// number) is shared: its use count goes up and its id is returned; USB and
// TCP/IP links served by a network server are not shared (0).

// USB device by serial number; synchronised before it is returned.
int32_t aLink_CreateUSB(uint32_t serialNumber);
// Network device through a TCP connection to ipAddress (network order in
// memory, as in linkSpec) and port.
int32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t ipAddress, uint16_t port);
// Serial port with packet framing; baudRate one of 2400, 4800, 9600, 19200,
// 38400, 57600, 115200, 230400 (anything else gives 0).
int32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);
// A link over a stream the caller made; the link owns the stream from then on
// (also when creation fails: the stream is then destroyed).
int32_t aLink_Create(aStream* stream);

// Releases one user and sets *id to 0. aErrParam when no link has the id;
// aErrNone while other users remain; otherwise the link is stopped and torn
// down (stream, FIFOs, log, its server and device link).
aErr aLink_Destroy(int32_t* id);

// Stops the link, replaces its stream by a fresh one made the same way (up to
// 20 attempts, 100 ms apart) and starts it again. Received and queued packets,
// the user filter and pooling are dropped; the packet log is kept.
// aErrParam when no link has the id, or for links whose stream cannot be
// remade (serial, caller-made streams), which are then left stopped.
aErr aLink_Reset(int32_t id);

// Makes the streams of client links (types 4 to 7) when aLink_Reset remakes
// them. Set by the network client code; none by default (the reset then
// fails with aErrParam).
typedef aErr (*aLinkClientStreamProc)(uint32_t ipAddress, uint16_t port, aStream** out);
void aLink_SetClientStreamFactory(aLinkClientStreamProc proc);

// Asks the device for its module address (a 0xAD packet, reply awaited 1000
// ms). aErrTimeout without reply, aErrIO for an unexpected reply, aErrParam
// for no link or no output.
aErr _aLink_GetModuleAddress(int32_t id, uint8_t* address);
// Asks the device at moduleAddress for its model code (system entity, option
// 8, index 0; reply awaited 1000 ms). aErrTimeout, aErrIO, aErrParam as above.
aErr _aLink_GetModel(int32_t id, uint8_t moduleAddress, uint8_t* model);

// ---- The running link ---------------------------------------------------

// Prepares the link record of registry entry `id` with `stream` (kept by the
// link; nullptr makes the link invalid). Returns id, or 0 when there is no
// such entry or the link is running.
int32_t aLink_Init(int32_t id, aStream* stream);
// Starts the reader and writer and waits (at most 200 polls of 10 ms) until
// both run, then queues the route packet with value 1. aErrNone at once when
// already running; aErrParam for no link, or a link without a stream;
// aErrResource when a thread cannot be started; aErrIndexRange when the
// threads did not come up in time.
aErr aLink_Start(int32_t id);
// Stops the threads of a link record after queuing the route packet with
// value 0, which still reaches the device. aErrParam for none; aErrNone at
// once when stopped or stopping; aErrUnknown when a thread cannot be joined.
aErr aLink_Stop(aLink* link);
// Forces a synchronisation and waits for it (at most 200 polls of 10 ms),
// then discards every queued outgoing packet, waits 100 ms and discards every
// received packet. aErrNotReady on time-out or when the link is not running;
// aErrParam for no link.
aErr aLink_Sync(int32_t id);
// The status, or LINK_STATUS_INVALID when no link has the id.
int32_t aLink_GetStatus(int32_t id);

// Queues a copy of packet for sending. aErrParam for no link or an invalid packet.
aErr aLink_PutPacket(int32_t id, const aPacket* packet);
// The oldest received packet, or nullptr (never blocks).
aPacket* aLink_GetPacket(int32_t id);
// The oldest received packet, waiting up to timeoutMs; nullptr on time-out.
aPacket* aLink_AwaitPacket(int32_t id, unsigned long timeoutMs);
// The oldest received packet that filter accepts, removed; nullptr when none
// does (never blocks).
aPacket* aLink_GetFirst(int32_t id, aPacketFilter filter, void* reference);
// The oldest received packet that filter accepts, waiting up to timeoutMs.
// nullptr on time-out, for no link, and at once when the link is not in the
// running status (stopped, syncing, failed).
aPacket* aLink_AwaitFirst(int32_t id, aPacketFilter filter, void* reference,
                          unsigned long timeoutMs);
// Removes and destroys every received packet that filter accepts; returns
// their number (0 for no link).
size_t aLink_DrainPackets(int32_t id, aPacketFilter filter, void* reference);

// Installs (or, with nullptr, removes) the user filter, which the reader
// offers every received packet before anything else: a result of 1 consumes
// the packet (heartbeats included), anything else lets it pass. Once this
// returns, the old filter is not running and will not be called again. The
// filter runs on the reader thread and must not block. aErrParam for no link.
aErr aLink_InstallUserPacketFilter(int32_t id, aPacketFilter filter, void* reference);
// Turns pooling of outgoing packets into writes of up to 4096 bytes on or off.
aErr aLink_EnablePooledPackets(int32_t id, bool enable);
// Queues the route packet (0xAF, length 1, data value). aErrNotFound when no
// registry entry has the id, aErrParam when it has no link record,
// aErrMemory when the packet cannot be made; otherwise the put's result.
aErr aLink_ForceRoute(int32_t id, uint8_t value);

// ---- Packet log (see aPacketDebug.h) ------------------------------------
// All give aErrParam when no link has the id.

// Size of the log to be created: aErrParam above 64 MiB, aErrBusy when the
// log exists; a negative size is stored as 0 (the default, 65536 bytes).
aErr aLink_PacketDebug_SetLogSize(int32_t id, long size);
// Creates the log (and its mutex) when missing and turns recording on.
// aErrResource when either cannot be made.
aErr aLink_PacketDebug_Enable(int32_t id);
// Turns recording off; the log and its contents stay. aErrNotReady without a log.
aErr aLink_PacketDebug_Disable(int32_t id);
// Takes the oldest entry (aPacketLog_Get). aErrNotReady without a log.
aErr aLink_PacketDebug_Read(int32_t id, int* type, unsigned* length, uint8_t* buffer);
// Appends a caller's entry (aPacketLog_Put). aErrNotReady without a log.
aErr aLink_PacketDebug_Write(int32_t id, int type, unsigned length, const uint8_t* bytes);

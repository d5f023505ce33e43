// A thin wrapper around one IPv4 UDP multicast socket: either a receiver bound
// to a port or a sender to a group, configured the same way every time.
// Addresses are IPv4 addresses as stored in network byte order.
#pragma once

struct aMulticast;

enum : unsigned char { aMulticast_Receiver = 0, aMulticast_Sender = 1 };

// A receiver whose port is already held fails to create: loopback discovery
// uses that as the test for "a server sits on this port". An interface of 0 or
// 127.0.0.1 means the loopback interface.
aMulticast* aMulticast_Create(unsigned int interfaceAddress, unsigned int group,
                              unsigned short port, unsigned char mode);
// Bytes sent; -1 failed call, -2 no object, -3 not a sender.
int aMulticast_Send(aMulticast* multicast, const void* data, unsigned int length);
// Bytes received; -1 on error or after the 1 s receive time-out, -2 no object,
// -3 not a receiver.
int aMulticast_Receive(aMulticast* multicast, void* buffer, int size);
// 0 after freeing and clearing *multicast; -2 for none.
int aMulticast_Destroy(aMulticast** multicast);

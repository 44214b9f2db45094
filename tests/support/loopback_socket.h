// The few socket operations the fake HTTP server needs, on 127.0.0.1 only. Every wait is bounded
// so that the server's threads can notice that they should stop.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexo::testing::net {

using Socket = intptr_t;
inline constexpr Socket kInvalidSocket = -1;

// Results of Receive and Send besides a byte count.
inline constexpr long kClosed = 0;
inline constexpr long kFailed = -1;
inline constexpr long kNotReady = -2;  // nothing happened within the wait; try again

bool Startup();
// Listens on 127.0.0.1 on an ephemeral port, which is stored in `port`.
Socket ListenOnLoopback(uint16_t& port);
// Waits up to `waitMs` for a connection; kInvalidSocket when none came.
Socket Accept(Socket listener, int waitMs);
// Waits up to `waitMs` for bytes; returns a count, kClosed, kFailed or kNotReady.
long Receive(Socket socket, char* buffer, size_t size, int waitMs);
// Waits up to `waitMs` for room; returns a count of bytes sent, kFailed or kNotReady.
long Send(Socket socket, const char* data, size_t size, int waitMs);
// Closes with a reset rather than an orderly end, as a crashed peer would.
void CloseWithReset(Socket socket);
void Close(Socket socket);

}  // namespace vexo::testing::net

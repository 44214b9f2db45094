// vexo-transfer: one HTTP request's transfer for the process that starts it (transfer_protocol.h).
// It is started by the agent, not by hand.

#include <csignal>
#include <cstdio>
#include <string>

#include "platform/posix/transfer/transfer.h"

namespace {

// The encoded request: the caller's added headers and body are small; more than this is no request
// of ours.
constexpr size_t kMostRequestBytes = 16 * 1024 * 1024;

bool ReadRequest(std::string& bytes) {
  using namespace vexo::platform::posix;
  ReadStep step = ReadStep::kMore;
  while (step == ReadStep::kMore)
    step = AppendOneRead(kTransferRequestFd, kMostRequestBytes, bytes);
  return step == ReadStep::kEnd;
}

}  // namespace

int main() {
  using namespace vexo::platform::posix;
  std::string bytes;
  TransferRequest request;
  if (!ReadRequest(bytes) || !DecodeRequest(bytes, request)) {
    std::fputs("vexo-transfer: no request on standard input; the agent starts this program\n",
               stderr);
    return 2;
  }
  // A caller that stops reading ends the transfer through a failed write, not a signal.
  std::signal(SIGPIPE, SIG_IGN);
  return RunTransfer(request, kTransferControlFd, kTransferBodyFd) ? 0 : 1;
}

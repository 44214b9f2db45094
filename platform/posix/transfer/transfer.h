// The transfer program's work: one request's transfer, answered on the control and body pipes
// as transfer_protocol.h says.
#pragma once

#include "platform/posix/transfer_protocol.h"

namespace vexo::platform::posix {

// Runs `request`, sends its head (or its failure) up `control`, its body up `body`, closes `body`
// and sends the outcome. False when the caller is gone before all of it was sent.
bool RunTransfer(const TransferRequest& request, int control, int body);

}  // namespace vexo::platform::posix

// The single-byte hand-off between the host's thread and the byte transfer worker.
#pragma once

// Outcome of the last single-byte transfer: true means no byte was transferred.
// A successful initialisation clears it.
extern bool TransferFailed;

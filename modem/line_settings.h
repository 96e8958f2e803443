#pragma once

#include <termios.h>

namespace quorvex {

// The modem line's settings on top of `current`: raw, 9600 bit/s, 7E1 (8N1 on a virtual
// port, which has no framing to speak of), RTS/CTS, receiver on, modem status ignored,
// DTR dropped on close, reads that never block.
termios MakeLineTermios(termios current, bool virtualPort);

}  // namespace quorvex

#pragma once

#include <termios.h>

#include <string>

namespace quorvex {

// The modem line's settings on top of `current`: raw, 9600 bit/s, 7E1 (8N1 on a port
// without modem-control lines, such as a pty, which has no framing to speak of), RTS/CTS,
// receiver on, modem status ignored, DTR dropped on close, reads that never block.
termios MakeLineTermios(termios current, bool withoutModemLines);

// What MakeLineTermios asks for, as an error text names it: "9600,E,7,1 with RTS/CTS".
std::string LineSettingsText(bool withoutModemLines);

// True when `applied` has the speed, character size, parity and flow control of `wanted`;
// tcsetattr succeeds when any one change took, so these are read back and compared.
bool SettingsTook(const termios& wanted, const termios& applied);

}  // namespace quorvex

#include "modem/line_settings.h"

namespace quorvex {

termios MakeLineTermios(termios current, bool withoutModemLines) {
  termios wanted = current;
  wanted.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                      IXANY | IMAXBEL | IUTF8);
  wanted.c_oflag &= ~OPOST;
  wanted.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  wanted.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  wanted.c_cflag |= withoutModemLines ? CS8 : (CS7 | PARENB);
  wanted.c_cflag |= CREAD | CLOCAL | HUPCL | CRTSCTS;
  wanted.c_cc[VMIN] = 0;
  wanted.c_cc[VTIME] = 0;
  cfsetispeed(&wanted, B9600);
  cfsetospeed(&wanted, B9600);
  return wanted;
}

std::string LineSettingsText(bool withoutModemLines) {
  return withoutModemLines ? "9600,N,8,1 with RTS/CTS" : "9600,E,7,1 with RTS/CTS";
}

bool SettingsTook(const termios& wanted, const termios& applied) {
  constexpr tcflag_t kFraming = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
  return cfgetospeed(&applied) == cfgetospeed(&wanted) &&
         (applied.c_cflag & kFraming) == (wanted.c_cflag & kFraming);
}

}  // namespace quorvex

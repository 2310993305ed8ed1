// Line settings and their DCB (see line_settings.h).
#include "line_settings.h"

#include <windows.h>

namespace tarvik::sim {

std::string LineSettings::Text() const
{
    std::string text = baud == 0 ? std::string("hang-up (0 baud)") : std::to_string(baud);
    text += " " + std::to_string(dataBits) + parity + std::to_string(stopBits);
    if (rtscts)
        text += " rtscts";
    if (xonOutput || xonInput)
        text += std::string(" xon/xoff") + (xonOutput && xonInput ? "" : xonOutput ? " (output)" : " (input)");
    return text;
}

void ApplyToDcb(const LineSettings &s, DCB &dcb)
{
    if (s.baud != 0)
        dcb.BaudRate = s.baud;
    dcb.ByteSize = static_cast<BYTE>(s.dataBits);
    switch (s.parity) {
    case 'O': dcb.Parity = ODDPARITY; break;
    case 'E': dcb.Parity = EVENPARITY; break;
    case 'M': dcb.Parity = MARKPARITY; break;
    case 'S': dcb.Parity = SPACEPARITY; break;
    default: dcb.Parity = NOPARITY; break;
    }
    dcb.fParity = s.parity != 'N';
    dcb.StopBits = s.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fOutxCtsFlow = s.rtscts;
    dcb.fRtsControl = s.rtscts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = s.xonOutput;
    dcb.fInX = s.xonInput;
    dcb.XonChar = static_cast<char>(s.xonChar);
    dcb.XoffChar = static_cast<char>(s.xoffChar);
}

}  // namespace tarvik::sim

#pragma once
// Pure helpers that edit a termios value and touch no device; the open sequence is a list
// of these calls.
#include <termios.h>

#include "serial/Line.h"

namespace Termios {

// Raw 8-bit line, receiver on, modem control lines ignored for open/read, lines dropped on
// close, non-blocking reads (VMIN = VTIME = 0).
void MakeRaw(termios& t);

// False for data bits the hardware cannot send (4).
bool SetDataBits(termios& t, TDataBits bits);

// Parity generation (mark and space through CMSPAR); check enables input parity checking.
void SetParity(termios& t, TParityBit parity, bool check);

// 1.5 stop bits exist only with 5 data bits (the UART sends 1.5 for CSTOPB there), and 2
// stop bits not with 5 data bits: false for those combinations.
bool SetStopBits(termios& t, TStopBits stop, TDataBits bits);

// RTS/CTS in hardware; XON/XOFF in both directions with the given characters.
void SetFlowControl(termios& t, bool rtsCts, bool xonXoff, char xon, char xoff);

// The bits that a device may silently refuse; compared after tcsetattr.
tcflag_t CheckedCflag(const termios& t);

}  // namespace Termios

#pragma once
// The line and data events of a port, as bits of an event mask.
#include <QtGlobal>

constexpr quint32 EV_RXCHAR = 0x0001;
constexpr quint32 EV_RXFLAG = 0x0002;
constexpr quint32 EV_TXEMPTY = 0x0004;
constexpr quint32 EV_CTS = 0x0008;
constexpr quint32 EV_DSR = 0x0010;
constexpr quint32 EV_RLSD = 0x0020;
constexpr quint32 EV_BREAK = 0x0040;
constexpr quint32 EV_ERR = 0x0080;
constexpr quint32 EV_RING = 0x0100;

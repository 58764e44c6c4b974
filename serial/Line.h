#pragma once
// The settings of a serial line: the enumerations, what each value stands for (bit rate,
// names for the dialogs), and the settings an open asks of a device.
#include <QtGlobal>

enum TBaudrate : quint8 {
    br_000050,
    br_000110,
    br_000150,
    br_000300,
    br_000600,
    br_001200,
    br_002400,
    br_004800,
    br_009600,
    br_014400,
    br_019200,
    br_038400,
    br_056000,
    br_057600,
    br_115200,
    br_128000,
    br_230400,
    br_256000,
    br_460800,
    br_921600
};
enum TDataBits : quint8 { db_4, db_5, db_6, db_7, db_8 };
enum TParityBit : quint8 { none, odd, even, mark, space };
enum TStopBits : quint8 { sb_1, sb_15, sb_2 };

constexpr int BaudRateCount = 20;

// The bit rate each TBaudrate stands for, as the open and the dialogs read it. Read-only:
// a setting that stands for another rate is made with OverrideRate.
extern const quint32 (&BaudRateTable)[BaudRateCount];
// From now on, for every port and dialog of the process, setting stands for rate. Start-up
// makes 9600 stand for 1248 bit/s, the rate the machine's line really runs at.
void OverrideRate(TBaudrate setting, quint32 rate);
// Every setting stands for its own rate again.
void RestoreRates();

extern const char* const ParityNames[5];
extern const char* const StopBitNames[3];

// What an open asks of the line.
struct TLineSettings {
    quint32 Rate = 9600;
    TDataBits DataBits = db_8;
    TParityBit Parity = none;
    bool ParityCheck = false;
    TStopBits Stop = sb_1;
    bool RtsCts = false;
    bool XonXoff = false;
    char XOn = 17;
    char XOff = 19;
    bool Rts = false;  // with RtsCts the handshake drives RTS
    bool Dtr = false;
};

#pragma once
// Why a port operation failed, as one code, and the German words for it. The code is taken
// from errno in one place (FromErrno); the windows and a headless front word their messages
// from the code with the functions below. QtCore only. Texts are Windows-1252.
#include <QByteArray>
#include <QtGlobal>

#include "serial/Line.h"

enum TPortError : quint8 {
    peNone,          // no failure
    peNoPort,        // port 0: no port chosen
    peBusy,          // another program holds the port
    peNotPermitted,  // the user may not open the device
    peNoDevice,      // nothing behind the name (adapter pulled, a link into nowhere)
    peNotSerial,     // the device is no serial port
    peNotSupported,  // the device cannot take a setting
    peLost,          // the device failed or went away while in use
    peTimeOut,       // the device did not answer in time
    peOther          // any other error of the system
};

// The setting a device could not take (with peNotSupported).
enum TPortSetting : quint8 {
    psNone,
    psDataBits,
    psStopBits,
    psRate,
    psLine,
    psComPortOption  // a device server that cannot be set over the network (RFC 2217)
};

struct TPortFailure {
    TPortError Code = peNone;
    int Errno = 0;  // the system's error number behind Code, 0 when there is none
    TPortSetting Setting = psNone;
    int DataBits = 8;   // data bits asked for (psDataBits, psStopBits)
    int StopBits = 0;   // ordinal of the stop bits asked for: 0 = 1, 1 = 1,5, 2 = 2 (psStopBits)
    quint32 Rate = 0;   // bit/s asked for (psRate)
    QByteArray Device;  // the device path or device server address, when one was named
};

namespace PortError {

// The one mapping from errno to the port layer's code.
TPortError FromErrno(int err);
// A failure with the code of err and err kept for the words in brackets.
TPortFailure Failure(int err);
// A failure without an errno behind it.
TPortFailure Failure(TPortError code);
// The device cannot take a setting of line (err: the system's error behind it, if any).
TPortFailure NotSupported(TPortSetting setting, const TLineSettings& line, int err = 0);

// The system's own words for err (English), shown only in brackets after German ones.
QByteArray SystemText(int err);

// The reason in German, e.g. "keine Berechtigung für das Gerät (Permission denied)".
QByteArray Reason(const TPortFailure& failure);
// What the user can do about it, one or two sentences; empty when nothing helps.
QByteArray Hint(TPortError code, int port);
// The message of a failed open of COMn: reason and hint.
QByteArray OpenFailureText(int port, const TPortFailure& failure);

// Said when stored settings ask for the DTR/DSR handshake, which this platform lacks.
QByteArray DtrDsrIgnoredText();
// The short explanation beside the disabled DTR/DSR check box, and its longer tool tip.
QByteArray DtrDsrUnavailableText();
QByteArray DtrDsrUnavailableTip();

// Written after "COMn" in a port list for a port the user may not open.
QByteArray NotPermittedMark();
// How a user gets the right to open serial ports.
QByteArray DialoutHint();

}  // namespace PortError

#pragma once
// The Linux port layer: where a COMn name leads, the probe, the exclusive open, the bit
// rate, queue counts and the modem/line state. Nothing here knows the component.
#include <QByteArray>
#include <QtGlobal>
#include <functional>
#include <memory>
#include <optional>

namespace Port {

// Folder of the per-user port map: $XDG_CONFIG_HOME/dnc-server/ports, with ~/.config in
// place of $XDG_CONFIG_HOME when that is unset, empty or relative.
QByteArray MapFolder();

// Device used for COMn when the map has no entry for it (empty: none). See Port.cpp.
QByteArray DefaultDevice(int port);

// Set to a non-empty value, a COMn without a map entry leads to no device: the test
// harness and the demo set it, so that they never reach a device of the machine.
constexpr char kNoDefaultsVariable[] = "DNC_NO_DEFAULT_PORTS";
bool DefaultsOff();

// The map's entry "COMn" when present (a symbolic link to the device), else the default.
QByteArray DevicePath(int port);

// The device COMn leads to now, as messages name it and as a reconnect recognises it: the
// target of the map's link (relative targets taken from the map folder), the address of a
// device server ("tcp://HOST:PORT", "rfc2217://HOST:PORT"), any other entry itself, or the
// default device. Empty when there is none.
QByteArray DeviceName(int port);

// What a device path is, as far as can be told without opening it: opening a tty raises
// DTR and RTS, which a control may take as a signal.
enum TDeviceState : quint8 {
    dsMissing,       // nothing there (also a link into nowhere)
    dsNotTty,        // no serial port: a file, /dev/null, a UART slot with no UART behind it
    dsTty,           // a serial port the user may open
    dsNotPermitted,  // a serial port the user may not open
    dsNetwork,       // a serial device server: the map entry is a file "tcp://HOST:PORT" or
                     // "rfc2217://HOST:PORT"
    dsBusy,          // a serial port another program holds (before an open, only a scripted
                     // device can tell this)
};
TDeviceState DeviceState(const QByteArray& path);

// The state of the device behind COMn (dsMissing for a name without a device).
TDeviceState PortState(int port);
// True for a serial port, also one the user may not open or another program holds: the port
// is there, its open says why it fails.
inline bool Present(TDeviceState state) { return state != dsMissing && state != dsNotTty; }

// A serial device server: "tcp://HOST:PORT" (its raw TCP server mode, the line settings
// are made on the device server) or "rfc2217://HOST:PORT" (telnet with the COM port
// option: the line settings are set from here at each open).
struct TNetAddress {
    QByteArray Host;
    quint16 Port = 0;
    bool Rfc2217 = false;
    QByteArray Text() const;  // as written in a map entry, the IPv6 host in brackets
};
// Reads an address as written in a map entry (blanks and a line end around it allowed).
bool ParseNetworkAddress(const QByteArray& text, TNetAddress* address);

// A port map entry that is a regular file holding a device server's address: true, with
// its host and port (and whether it speaks RFC 2217).
bool NetworkAddress(const QByteArray& path, QByteArray* host, quint16* port,
                    bool* rfc2217 = nullptr);

// Connects to a device server, non-blocking, within timeoutMs; with keep-alive, so that a
// device server that goes away without a word is seen as lost. Returns the descriptor, or
// -1 with err set (an errno value; EHOSTUNREACH when the name does not resolve).
int ConnectTcp(const QByteArray& host, quint16 port, int timeoutMs, int& err);

// Opens the device non-blocking and exclusively (flock + TIOCEXCL). Returns the
// descriptor, or -1 with err set (an errno value).
int OpenExclusive(const QByteArray& path, int& err);
void CloseExclusive(int fd);

// True for the slave side of a pseudo-terminal: it always runs 8 data bits, no parity.
bool IsPseudoTerminal(int fd);

// Sets any bit rate through the kernel's arbitrary-rate interface (termios2, BOTHER).
bool SetRate(int fd, quint32 rate, int& err);
// Reads the rates back (termios2); false on failure.
bool GetRate(int fd, quint32& inRate, quint32& outRate);

// What a tty was like before an open, to leave it as found at the close: its termios with
// any bit rate (termios2) and its RTS and DTR lines.
struct TSavedDevice {
    bool Valid = false;
    unsigned char Termios[64] = {};  // struct termios2, which <termios.h> cannot name
    bool HasModem = false;
    int Modem = 0;
};
TSavedDevice SaveDevice(int fd);
// Puts back what SaveDevice read; false when the device refused it.
bool RestoreDevice(int fd, const TSavedDevice& saved);

// Bytes waiting in the kernel's receive / transmit queue, -1 on failure.
int InQueue(int fd);
int OutQueue(int fd);

// Waits until the bytes written to fd have left the port: the transmit queue is empty.
// Gives up after msLeft ms (-1: no limit) or when wakeFd becomes readable (-1: none), and
// returns the bytes still queued then (0: all gone). A pseudo-terminal has no queue of its
// own (pseudoTerminal): what it took has reached the other side. The wait burns no CPU: it
// sleeps about as long as the queued bytes take at baud bit/s, in steps of at most 20 ms.
int Drain(int fd, quint32 baud, int msLeft, int wakeFd, bool pseudoTerminal);

// Sets or clears RTS and DTR. Devices without modem lines (pseudo-terminals) are fine.
void SetModemLine(int fd, int line, bool on);

// Modem lines (TIOCM_* bits) and the kernel's line counters.
struct TLineState {
    int Modem = 0;
    int Brk = 0;
    int Frame = 0;
    int Overrun = 0;
    int Parity = 0;
    int BufOverrun = 0;
};

// Reads the line state of the device; false when it has none (pseudo-terminal).
bool ReadLineState(int fd, TLineState& state);

// Event bits (EV_CTS, EV_DSR, EV_RING, EV_RLSD, EV_BREAK, EV_ERR) for the change from
// before to now.
quint32 LineEvents(const TLineState& before, const TLineState& now);

// Test seam: a scripted device answers in place of the system calls that a pseudo-terminal
// cannot show (it has no modem lines, no line counters and no timing on its transmit queue,
// and a test running as root is never refused a device). A member left empty uses the real
// call.
struct TScriptedDevice {
    std::function<bool(int fd, TLineState& state)> ReadLineState;
    // Replaces Drain: returns the bytes still queued when the wait ended (0: all sent).
    std::function<int(int fd, int msLeft)> Drain;
    // What the device at a path is, for the probe and for the open: an open of dsMissing
    // fails with ENOENT, dsNotTty with ENOTTY, dsNotPermitted with EACCES, dsBusy with EBUSY;
    // dsTty opens the real device. No answer (nullopt): the real device.
    std::function<std::optional<TDeviceState>(const QByteArray& path)> Device;
};
// Installs a scripted device for every port of the process; nullptr restores the real one.
void SetScriptedDeviceForTests(std::shared_ptr<const TScriptedDevice> device);

// Shorthand for a scripted device that answers only the line state.
using TLineStateReader = std::function<bool(int fd, TLineState& state)>;
void SetLineStateReaderForTests(TLineStateReader reader);

}  // namespace Port

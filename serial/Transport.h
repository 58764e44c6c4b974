#pragma once
// The way to one device, over which the serial component reads, writes and purges: a tty
// (TtyTransport.h), a device server's raw TCP port (TcpTransport.h), or one that speaks the
// telnet COM port option (Rfc2217Transport.h). Made by an open with the line settings; its
// end closes the device. The component's receive store, events and aborts stay with the
// component: a transport only moves bytes.
#include <QByteArray>
#include <chrono>
#include <functional>
#include <memory>

#include "serial/Line.h"
#include "serial/Port.h"
#include "serial/PortError.h"

class TWakeUp;

using TClock = std::chrono::steady_clock;

// Milliseconds left until deadline, 0 when passed.
int MsLeft(TClock::time_point deadline);

// What a write needs from its caller: whether and how long it waits, and what stops it.
struct TWriteControl {
    // Return when the bytes have left the port, not when they were handed over.
    bool Wait = false;
    bool HasDeadline = false;
    TClock::time_point Deadline;
    // Rung by an abort or a close; quieted by the write it woke.
    TWakeUp* Wake = nullptr;
    // True once the write must end: an abort, the close, the device lost.
    std::function<bool()> Stopped;

    // Milliseconds left until the deadline, -1 for none, 0 when passed.
    int MsLeft() const { return HasDeadline ? ::MsLeft(Deadline) : -1; }
};

struct TWriteResult {
    int Sent = 0;       // bytes that left (a waited write) or were handed over
    bool Lost = false;  // the device failed or went away
};

enum class TRead : quint8 {
    Some,  // bytes came (from a device server maybe protocol only, no data)
    None,  // nothing is waiting
    Lost,  // the device failed or went away
};

class TTransport {
  public:
    // True once the component closes or has noted the device lost: a send that waits for
    // the device gives up then.
    using TGone = std::function<bool()>;

    virtual ~TTransport() = default;
    TTransport(const TTransport&) = delete;
    TTransport& operator=(const TTransport&) = delete;

    // The descriptor to poll for input and hang-up.
    int Handle() const { return fd_; }

    // Reads what is waiting without waiting: at most room bytes of the device's stream, the
    // data among them appended to data. The component calls it under its receive lock.
    virtual TRead Read(QByteArray& data, qsizetype room) = 0;
    // Sends what the device is owed for what was read (a telnet server's questions); called
    // after a read, outside the receive lock.
    virtual void Answer() {}
    // Input that no flush can drop (a connection's) is read and dropped; called under the
    // receive lock by a purge.
    virtual void DropInput() {}

    // Writes count bytes; see TWriteControl.
    virtual TWriteResult Write(const char* buffer, int count, const TWriteControl& control) = 0;
    // Drops what is not sent yet (tx) and not read yet (rx), here and on a device server
    // that can be asked to. False when the device refused.
    virtual bool Purge(bool tx, bool rx) = 0;
    // Bytes written and not yet sent; -1 when the device cannot tell.
    int OutQueue() const { return Port::OutQueue(fd_); }

    // The modem lines and line counters of a device that has them, read when asked; false
    // when it has none to read (a device server reports its own, below).
    virtual bool ReadLineState(Port::TLineState&) { return false; }
    // Line events (EV_CTS, ...) that a device server reported in its stream since the last
    // call, and whether any wait.
    virtual quint32 TakeLineEvents() { return 0; }
    virtual bool LineEventsPending() const { return false; }

  protected:
    explicit TTransport(int fd) : fd_(fd) {}
    // One read(2) of at most room bytes (and at most 4 KiB) appended to into; its result,
    // with errno set when negative.
    ssize_t ReadSome(QByteArray& into, qsizetype room);

    const int fd_;
};

// Opens the device a port map entry names: a device server's address or a tty's path. Null,
// with failure, when it cannot be opened with the settings. What a device server sent while
// the settings were agreed is appended to early.
std::unique_ptr<TTransport> OpenTransport(const QByteArray& device, const TLineSettings& line,
                                          TTransport::TGone gone, QByteArray& early,
                                          TPortFailure& failure);

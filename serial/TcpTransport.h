#pragma once
// A serial device server's raw TCP port: the line is set on the device server. A device
// server takes bytes much faster than its line gives them to the machine, so a waited write
// is paced to the line's bit rate and frame: the device server holds about one piece at a
// time, and the write returns when the last byte has had its time on the line.
#include <mutex>

#include "serial/Transport.h"

class TTcpTransport : public TTransport {
  public:
    // Null, with failure, when no connection comes about.
    static std::unique_ptr<TTransport> Open(const Port::TNetAddress& address,
                                            const TLineSettings& line, TGone gone,
                                            TPortFailure& failure);
    ~TTcpTransport() override;

    TRead Read(QByteArray& data, qsizetype room) override;
    void DropInput() override;
    TWriteResult Write(const char* buffer, int count, const TWriteControl& control) override;
    // A connection's sent bytes cannot be taken back; its received ones are dropped by
    // DropInput.
    bool Purge(bool, bool) override { return true; }

  protected:
    TTcpTransport(int fd, const TLineSettings& line, TGone gone);
    // The connection, -1 with failure.
    static int Connect(const Port::TNetAddress& address, TPortFailure& failure);
    // Sends a whole piece of the stream; waits at most ms for the connection to take it.
    // False, with errno, when not all of it was sent.
    bool Send(const QByteArray& bytes, int ms);
    // A piece of data as the connection carries it.
    virtual QByteArray Wire(QByteArrayView data) const {
        return QByteArray::fromRawData(data.data(), data.size());
    }
    // The line is free now: what the device server held was dropped.
    void ResetPace();

  private:
    // Waits until `until` and until the connection holds at most `queued` bytes; false when
    // the write must stop (abort, close, loss, time-out).
    bool WaitForLine(TClock::time_point until, int queued, const TWriteControl& control);
    TClock::time_point LineFreeAt();

    TGone gone_;
    // How long a character takes on the line.
    std::chrono::nanoseconds charTime_;
    // One sender at a time: another thread's piece never lands inside this one.
    std::timed_mutex sendMutex_;
    // When what was written so far has had its time on the line.
    std::mutex paceMutex_;
    TClock::time_point lineFreeAt_;
};

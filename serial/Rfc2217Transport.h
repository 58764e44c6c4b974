#pragma once
// A serial device server that speaks the telnet COM port option (RFC 2217): every open sets
// bit rate, data bits, parity, stop bits and flow control on it and waits until it has
// confirmed them; its modem-state notifications become line events; a purge purges its
// buffers too. Data is escaped both ways.
#include <atomic>

#include "serial/Rfc2217.h"
#include "serial/TcpTransport.h"

class TRfc2217Transport : public TTcpTransport {
  public:
    // Null, with failure, when no connection comes about or the server does not confirm the
    // settings. Data the server sent meanwhile is appended to early.
    static std::unique_ptr<TTransport> Open(const Port::TNetAddress& address,
                                            const TLineSettings& line, TGone gone,
                                            QByteArray& early, TPortFailure& failure);

    TRead Read(QByteArray& data, qsizetype room) override;
    void Answer() override;
    bool Purge(bool tx, bool rx) override;
    quint32 TakeLineEvents() override { return events_.exchange(0); }
    bool LineEventsPending() const override { return events_.load() != 0; }

  protected:
    QByteArray Wire(QByteArrayView data) const override { return Rfc2217::Escape(data); }

  private:
    using TTcpTransport::TTcpTransport;
    // Drives the negotiation over the connection.
    bool Negotiate(const TLineSettings& line, QByteArray& early, TPortFailure& failure);
    void NoteModem(quint8 state);

    // Used under the component's receive lock: the parser and the stream as read.
    Rfc2217::TTelnetParser parser_;
    QByteArray raw_;
    std::mutex owedMutex_;
    QByteArray owed_;            // answers for the server, sent by Answer
    std::atomic<int> modem_{0};  // TIOCM_* bits from the last notification
    std::atomic<quint32> events_{0};
};

#pragma once
// HTTP/1.1 requests as a state machine without I/O: bytes in, a request head and then the
// whole request out. The connection decides on the head before any body is read (who asks,
// for what, how much), so an upload nobody may make is refused without reading it.
#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QPair>

struct THttpRequest {
    QByteArray method;
    QByteArray target;  // as sent: path and query, percent-encoded
    QByteArray path;    // the target up to '?', still encoded (segments are decoded one by one)
    QByteArray query;
    int minorVersion = 1;
    QList<QPair<QByteArray, QByteArray>> headers;  // names in lower case
    qint64 contentLength = 0;
    QByteArray body;
    QByteArray peer;  // the client's address, set by the connection

    // The first header of that name (lower case), empty when absent.
    QByteArray Header(const QByteArray& name) const;
    bool KeepAlive() const;
    // A query parameter, decoded; empty when absent.
    QByteArray Query(const QByteArray& name) const;
    // The path's segments after the first '/', each percent-decoded.
    QList<QByteArray> Segments() const;
};

class THttpParser {
  public:
    struct Limits {
        qsizetype maxHead = 16 * 1024;  // request line and headers
        int maxHeaders = 64;
    };

    enum class Event {
        None,      // more bytes are needed
        Head,      // Request() has its head; the body follows (contentLength bytes)
        Complete,  // Request() is whole
        Error,     // ErrorStatus() says which answer; the connection ends
    };

    THttpParser() = default;
    explicit THttpParser(Limits limits) : limits_(limits) {}

    void Feed(QByteArrayView bytes) { buffer_.append(bytes); }
    Event Next();
    const THttpRequest& Request() const { return request_; }
    THttpRequest& Request() { return request_; }
    int ErrorStatus() const { return error_; }
    // Bytes of the body still to come (after Head).
    qint64 BodyMissing() const;
    qsizetype Buffered() const { return buffer_.size(); }
    // Ready for the next request on the same connection; bytes already fed stay.
    void Reset();

  private:
    Event Fail(int status);
    bool Refuse(int status);  // Fail, for the head's checks
    bool ParseHead(QByteArrayView head);

    enum class State { Head, Body, Done, Failed };
    Limits limits_;
    State state_ = State::Head;
    QByteArray buffer_;
    THttpRequest request_;
    int error_ = 0;
};

// "OK", "Not Found", ... for the status line.
QByteArray HttpReason(int status);

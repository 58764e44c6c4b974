#include "web/HttpParser.h"

namespace {

bool IsToken(QByteArrayView text) {
    if (text.isEmpty()) return false;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 32 || u >= 127) return false;
        if (QByteArrayView("()<>@,;:\\\"/[]?={}").contains(c)) return false;
    }
    return true;
}

// A host name or address with an optional port: no user part, path or blank.
bool IsHost(const QByteArray& value) {
    if (value.isEmpty()) return false;
    for (char c : value) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || QByteArrayView("-._:[]").contains(c);
        if (!plain) return false;
    }
    return true;
}

bool AllDigits(const QByteArray& text) {
    if (text.isEmpty() || text.size() > 15) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

}  // namespace

QByteArray THttpRequest::Header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key == name) return value;
    }
    return {};
}

bool THttpRequest::KeepAlive() const {
    const QByteArray connection = Header("connection").toLower();
    if (minorVersion == 0) return connection.contains("keep-alive");
    return !connection.contains("close");
}

QByteArray THttpRequest::Query(const QByteArray& name) const {
    for (const QByteArray& pair : query.split('&')) {
        const qsizetype eq = pair.indexOf('=');
        const QByteArray key = QByteArray::fromPercentEncoding(eq < 0 ? pair : pair.left(eq));
        if (key == name) {
            return eq < 0 ? QByteArray()
                          : QByteArray::fromPercentEncoding(
                                QByteArray(pair.mid(eq + 1)).replace('+', ' '));
        }
    }
    return {};
}

QList<QByteArray> THttpRequest::Segments() const {
    QList<QByteArray> segments = path.mid(1).split('/');
    for (QByteArray& s : segments) s = QByteArray::fromPercentEncoding(s);
    return segments;
}

bool THttpParser::Refuse(int status) {
    Fail(status);
    return false;
}

THttpParser::Event THttpParser::Fail(int status) {
    state_ = State::Failed;
    error_ = status;
    return Event::Error;
}

qint64 THttpParser::BodyMissing() const {
    if (state_ != State::Body) return 0;
    return std::max<qint64>(0, request_.contentLength - buffer_.size());
}

void THttpParser::Reset() {
    if (state_ == State::Failed) return;
    state_ = State::Head;
    request_ = {};
}

THttpParser::Event THttpParser::Next() {
    switch (state_) {
        case State::Head: {
            // Blank lines before a request are allowed (RFC 9112 2.2).
            while (buffer_.startsWith("\r\n")) buffer_.remove(0, 2);
            const qsizetype end = buffer_.indexOf("\r\n\r\n");
            if (end < 0) {
                // Too long only once even a terminator still to come would begin too late:
                // the answer must not depend on where the reads cut the head.
                return buffer_.size() >= limits_.maxHead + 4 ? Fail(431) : Event::None;
            }
            if (end > limits_.maxHead) return Fail(431);
            if (!ParseHead(QByteArrayView(buffer_).first(end))) return Event::Error;
            buffer_.remove(0, end + 4);
            state_ = State::Body;
            return Event::Head;
        }
        case State::Body:
            if (buffer_.size() < request_.contentLength) return Event::None;
            request_.body = buffer_.left(request_.contentLength);
            buffer_.remove(0, request_.contentLength);
            state_ = State::Done;
            return Event::Complete;
        case State::Done:
        case State::Failed:
            return Event::None;
    }
    return Event::None;
}

bool THttpParser::ParseHead(QByteArrayView head) {
    const QList<QByteArray> lines = head.toByteArray().split('\n');
    // Request line: METHOD SP TARGET SP HTTP/1.x
    QByteArray first = lines.first();
    if (!first.endsWith('\r') && lines.size() > 1) return Refuse(400);
    if (first.endsWith('\r')) first.chop(1);
    const QList<QByteArray> parts = first.split(' ');
    if (parts.size() != 3 || !IsToken(parts[0]) || !parts[1].startsWith('/')) {
        return Refuse(400);
    }
    if (parts[2] == "HTTP/1.1") {
        request_.minorVersion = 1;
    } else if (parts[2] == "HTTP/1.0") {
        request_.minorVersion = 0;
    } else {
        return Refuse(parts[2].startsWith("HTTP/") ? 505 : 400);
    }
    for (char c : parts[1]) {
        if (static_cast<unsigned char>(c) <= 32 || c == 127) return Refuse(400);
    }
    request_.method = parts[0];
    request_.target = parts[1];
    const qsizetype q = parts[1].indexOf('?');
    request_.path = q < 0 ? parts[1] : parts[1].left(q);
    request_.query = q < 0 ? QByteArray() : parts[1].mid(q + 1);

    if (lines.size() - 1 > limits_.maxHeaders) return Refuse(431);
    bool haveLength = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        // Every line but the last ends in CR (the last one's CR LF was cut with the blank line).
        if (i < lines.size() - 1 || line.endsWith('\r')) {
            if (!line.endsWith('\r')) return Refuse(400);
            line.chop(1);
        }
        const qsizetype colon = line.indexOf(':');
        // No folded lines, no blank before the colon (RFC 9112 5.1, 5.2).
        if (colon <= 0 || !IsToken(QByteArrayView(line).first(colon))) return Refuse(400);
        const QByteArray name = line.left(colon).toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        for (char c : value) {
            const auto u = static_cast<unsigned char>(c);
            if ((u < 32 && c != '\t') || u == 127) return Refuse(400);
        }
        if (name == "content-length") {
            if (!AllDigits(value)) return Refuse(400);
            const qint64 length = value.toLongLong();
            if (haveLength && length != request_.contentLength) return Refuse(400);
            haveLength = true;
            request_.contentLength = length;
        } else if (name == "transfer-encoding") {
            // Bodies come with their length; a chunked one is not taken.
            return Refuse(411);
        } else if (name == "host" && (!request_.Header("host").isNull() || !IsHost(value))) {
            // One Host, and a plain one (RFC 9112 3.2): two could be read differently by a
            // proxy and by us.
            return Refuse(400);
        }
        request_.headers.append({name, value});
    }
    if (request_.minorVersion == 1 && request_.Header("host").isEmpty()) return Refuse(400);
    return true;
}

QByteArray HttpReason(int status) {
    switch (status) {
        case 100:
            return "Continue";
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 202:
            return "Accepted";
        case 204:
            return "No Content";
        case 304:
            return "Not Modified";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 409:
            return "Conflict";
        case 411:
            return "Length Required";
        case 413:
            return "Content Too Large";
        case 421:
            return "Misdirected Request";
        case 429:
            return "Too Many Requests";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 503:
            return "Service Unavailable";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "Status";
    }
}

#include "serial/Transport.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>

#include "serial/Rfc2217Transport.h"
#include "serial/TcpTransport.h"
#include "serial/TtyTransport.h"

int MsLeft(TClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
    return left <= 0 ? 0 : int(std::min<long long>(left, 1 << 30));
}

ssize_t TTransport::ReadSome(QByteArray& into, qsizetype room) {
    const qsizetype at = into.size();
    const qsizetype want = std::min<qsizetype>(room, 4096);
    into.resize(at + want);
    ssize_t n;
    do {
        n = ::read(fd_, into.data() + at, size_t(want));
    } while (n < 0 && errno == EINTR);
    const int err = errno;
    into.resize(at + std::max<ssize_t>(n, 0));
    errno = err;
    return n;
}

std::unique_ptr<TTransport> OpenTransport(const QByteArray& device, const TLineSettings& line,
                                          TTransport::TGone gone, QByteArray& early,
                                          TPortFailure& failure) {
    Port::TNetAddress address;
    if (!Port::ParseNetworkAddress(device, &address))
        return TTtyTransport::Open(device, line, failure);
    if (address.Rfc2217)
        return TRfc2217Transport::Open(address, line, std::move(gone), early, failure);
    // Raw TCP: the line is set on the device server, not from here.
    return TTcpTransport::Open(address, line, std::move(gone), failure);
}

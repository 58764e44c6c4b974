#include "status/StatusSocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>

#include "common/Ansi.h"

namespace {

// The socket's path, short enough for sockaddr_un: the full path when it fits, else the same
// file through a descriptor of its folder.
class TAddress {
  public:
    explicit TAddress(const QString& folder) {
        const QByteArray dir = QFile::encodeName(folder);
        QByteArray path = dir + "/" + StatusSocket::kName;
        if (size_t(path.size()) >= sizeof(addr_.sun_path)) {
            dirFd_ = ::open(dir.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            path = "/proc/self/fd/" + QByteArray::number(dirFd_) + "/" + StatusSocket::kName;
        }
        path_ = path;
        addr_.sun_family = AF_UNIX;
        std::memcpy(addr_.sun_path, path.constData(), size_t(path.size()));
    }
    ~TAddress() {
        if (dirFd_ >= 0) ::close(dirFd_);
    }
    TAddress(const TAddress&) = delete;
    TAddress& operator=(const TAddress&) = delete;

    const sockaddr* Addr() const { return reinterpret_cast<const sockaddr*>(&addr_); }
    socklen_t Size() const { return socklen_t(offsetof(sockaddr_un, sun_path) + path_.size() + 1); }
    const char* Path() const { return path_.constData(); }

  private:
    sockaddr_un addr_{};
    QByteArray path_;
    int dirFd_ = -1;
};

int NewSocket() { return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0); }

QByteArray Reason(int err) { return QByteArray(std::strerror(err)); }

}  // namespace

int StatusSocket::Listen(const QString& folder, QByteArray* error) {
    const TAddress address(folder);
    struct stat st {};
    if (::lstat(address.Path(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *error = Ansi::Lit("dort liegt eine Datei dieses Namens, die kein Socket ist");
            return -1;
        }
        const int probe = Connect(folder);
        if (probe >= 0) {
            ::close(probe);
            *error = Ansi::Lit("ein anderer Server läuft schon in diesem Arbeitsordner");
            return -1;
        }
        // Nobody answers: what an instance that ended left behind.
        ::unlink(address.Path());
    }
    const int fd = NewSocket();
    if (fd < 0) {
        *error = Reason(errno);
        return -1;
    }
    // Mode before listen: nobody can connect in between.
    if (::bind(fd, address.Addr(), address.Size()) != 0 || ::chmod(address.Path(), 0600) != 0 ||
        ::listen(fd, 16) != 0) {
        *error = Reason(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

int StatusSocket::Connect(const QString& folder) {
    const TAddress address(folder);
    const int fd = NewSocket();
    if (fd < 0) return -1;
    if (::connect(fd, address.Addr(), address.Size()) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

bool StatusSocket::Present(const QString& folder) {
    const TAddress address(folder);
    struct stat st {};
    return ::lstat(address.Path(), &st) == 0 && S_ISSOCK(st.st_mode);
}

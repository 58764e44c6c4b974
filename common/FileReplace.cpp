#include "common/FileReplace.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>

#include "common/Ansi.h"
#include "common/Errors.h"

namespace {

QByteArray Local(const QString& path) { return QFile::encodeName(path); }

// Writes all of data at offset 0; false with errno set on failure.
bool WriteAt0(int fd, const QByteArray& data) {
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::pwrite(fd, data.constData() + done, size_t(data.size() - done), done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += n;
    }
    return true;
}

bool ReadAll(int fd, QByteArray& out) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buffer, n);
    }
}

void SyncFolder(const QByteArray& folder) {
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// The folder takes no new entry: the temporary cannot be made there.
bool FolderRefuses(int err) { return err == EACCES || err == EPERM || err == EROFS; }

void RewriteInPlace(const QString& path, const QByteArray& target, const QByteArray& data,
                    const QByteArray& operation) {
    const int fd = ::open(target.constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0) throw FileError(operation, path, errno);
    QByteArray old;
    if (!ReadAll(fd, old)) {
        const int err = errno;
        ::close(fd);
        throw FileError(operation, path, err);
    }
    const bool written =
        WriteAt0(fd, data) && ::ftruncate(fd, data.size()) == 0 && ::fsync(fd) == 0;
    if (!written) {
        const int err = errno;
        // What was there before goes back; it fitted before, so it fits again.
        if (WriteAt0(fd, old) && ::ftruncate(fd, old.size()) == 0) ::fsync(fd);
        ::close(fd);
        throw FileError(operation, path, err);
    }
    if (::close(fd) != 0) throw FileError(operation, path, errno);
}

}  // namespace

TReplaceWay ReplaceFileContent(const QString& path, const QByteArray& data,
                               const QByteArray& operation) {
    // A link is followed: the file it names gets the content, the link stays a link.
    QByteArray target = Local(path);
    if (char* real = ::realpath(target.constData(), nullptr)) {
        target = real;
        ::free(real);
    }
    struct stat old {};
    const bool exists = ::stat(target.constData(), &old) == 0;

    QByteArray temp = target + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        const int err = errno;
        if (exists && FolderRefuses(err)) {
            RewriteInPlace(path, target, data, operation);
            return TReplaceWay::InPlace;
        }
        throw FileError(operation, path, err);
    }
    bool open = true;
    try {
        // mkstemp makes 0600: the file keeps its mode, a new one gets the usual one.
        mode_t mode = old.st_mode & 07777;
        if (!exists) {
            const mode_t mask = ::umask(0);
            ::umask(mask);
            mode = 0666 & ~mask;
        }
        ::fchmod(fd, mode);
        if (!WriteAt0(fd, data) || ::fsync(fd) != 0) throw FileError(operation, path, errno);
        open = false;
        if (::close(fd) != 0) throw FileError(operation, path, errno);
        if (::rename(temp.constData(), target.constData()) != 0)
            throw FileError(operation, path, errno);
    } catch (...) {
        if (open) ::close(fd);
        ::unlink(temp.constData());
        throw;
    }
    SyncFolder(Local(QFileInfo(QFile::decodeName(target)).absolutePath()));
    return TReplaceWay::ThroughTemporary;
}

QByteArray InPlaceNote(const QString& path) {
    const QFileInfo info(path);
    return Ansi::Lit("Der Ordner ") + Ansi::FromQString(info.absolutePath()) +
           Ansi::Lit(" ist nicht beschreibbar: die Datei ") + Ansi::FromQString(info.fileName()) +
           Ansi::Lit(" wurde direkt überschrieben.");
}

#include "common/FileReplace.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "common/Ansi.h"
#include "common/Errors.h"

namespace {

QByteArray Local(const QString& path) { return QFile::encodeName(path); }

// Between a file's name and the owner in the name of its temporary.
const char kMark[] = ".dnc-";

// A temporary's name keeps at most this much of the target's name: the whole stays a
// valid file name for any target.
constexpr qsizetype kNameKept = 120;

QByteArray HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == 0) return "localhost";
    QByteArray host(name);
    for (char& c : host) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
        if (!plain) c = '_';
    }
    return host.left(64);
}

// mkstemp's template for a temporary of target (a local path): hidden, beside it.
QByteArray TemporaryTemplate(const QByteArray& target) {
    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray folder = slash >= 0 ? target.left(slash + 1) : QByteArray();
    const QByteArray name = target.mid(slash + 1).left(kNameKept);
    return folder + "." + name + kMark + TemporaryOwner() + ".XXXXXX";
}

// The owner a temporary's name carries: false for a name of no temporary. An owner that
// cannot be read (an older form without one) leaves host empty.
bool TemporaryOwnerOf(const QByteArray& name, QByteArray* host, qint64* pid) {
    host->clear();
    *pid = 0;
    const qsizetype mark = name.lastIndexOf(kMark);
    if (!name.startsWith('.') || mark <= 0) return false;
    const QByteArray owner = name.mid(mark + qsizetype(sizeof kMark) - 1);
    if (owner.size() == 6) return true;  // ".NAME.dnc-XXXXXX": no owner
    if (owner.size() < 6 + 4 || owner.at(owner.size() - 7) != '.') return false;
    const QByteArray hostPid = owner.left(owner.size() - 7);
    const qsizetype dot = hostPid.lastIndexOf('.');
    bool ok = false;
    const qint64 number = dot > 0 ? hostPid.mid(dot + 1).toLongLong(&ok) : 0;
    if (!ok || number <= 0) return true;
    *host = hostPid.left(dot);
    *pid = number;
    return true;
}

bool ProcessAlive(qint64 pid) {
    if (pid == qint64(::getpid())) return false;  // an earlier process that had our number
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// Writes all of data at the current position; false with errno set on failure.
bool WriteAllAt(int fd, const QByteArray& data) {
    const char* p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

// A complete temporary beside path holding data and tail (mode as a new file gets); its
// local name. Throws FileError.
QByteArray WriteTemporary(const QString& path, const QByteArray& data, const QByteArray& tail) {
    const QByteArray operation = "Schreiben";
    QByteArray temp = TemporaryTemplate(Local(path));
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) throw FileError(operation, path, errno);
    bool open = true;
    try {
        // mkstemp creates 0600; the file gets the usual mode.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
        // Errors name the file being written: the temporary is gone when they are read.
        if (!WriteAllAt(fd, data) || !WriteAllAt(fd, tail) || ::fsync(fd) != 0)
            throw FileError(operation, path, errno);
        open = false;
        if (::close(fd) != 0) throw FileError(operation, path, errno);
    } catch (...) {
        if (open) ::close(fd);
        ::unlink(temp.constData());
        throw;
    }
    return temp;
}

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

    QByteArray temp = TemporaryTemplate(target);
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

QByteArray TemporaryOwner() { return HostName() + '.' + QByteArray::number(qint64(::getpid())); }

void WriteAtomic(const QString& path, const QByteArray& data, const QByteArray& tail,
                 const std::function<void()>& beforeRename) {
    const QByteArray temp = WriteTemporary(path, data, tail);
    try {
        if (beforeRename) beforeRename();
    } catch (...) {
        ::unlink(temp.constData());
        throw;
    }
    if (::rename(temp.constData(), Local(path).constData()) != 0) {
        const int err = errno;
        ::unlink(temp.constData());
        throw FileError("Umbenennen", path, err);
    }
    SyncFolder(Local(QFileInfo(path).absolutePath()));
}

bool WriteAtomicNew(const QString& path, const QByteArray& data, const QByteArray& tail) {
    const QByteArray target = Local(path);
    if (QFileInfo::exists(path)) return false;
    const QByteArray temp = WriteTemporary(path, data, tail);
    int err = 0;
    if (::renameat2(AT_FDCWD, temp.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) !=
        0) {
        err = errno;
        // A file system without the no-replace rename: a hard link also refuses a taken name.
        if (err == EINVAL || err == ENOSYS || err == EOPNOTSUPP) {
            err = ::link(temp.constData(), target.constData()) == 0 ? 0 : errno;
        }
        ::unlink(temp.constData());
    }
    if (err == EEXIST) return false;
    if (err != 0) throw FileError("Umbenennen", path, err);
    SyncFolder(Local(QFileInfo(path).absolutePath()));
    return true;
}

void AppendSynced(const QString& path, const QByteArray& data) {
    const int fd = ::open(Local(path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) throw FileError("Schreiben", path, errno);
    const bool written = WriteAllAt(fd, data) && ::fdatasync(fd) == 0;
    const int err = errno;
    ::close(fd);
    if (!written) throw FileError("Schreiben", path, err);
}

QStringList RemoveOrphanTemporaries(const QString& folder) {
    QStringList removed;
    const QDir dir(folder.isEmpty() ? QStringLiteral(".") : folder);
    const QString pattern = QStringLiteral(".*") + QLatin1String(kMark) + QStringLiteral("*");
    const QByteArray ourHost = HostName();
    const time_t now = ::time(nullptr);
    for (const QString& name : dir.entryList({pattern}, QDir::Files | QDir::Hidden)) {
        QByteArray host;
        qint64 pid = 0;
        if (!TemporaryOwnerOf(QFile::encodeName(name), &host, &pid)) continue;
        const QString path = dir.filePath(name);
        struct stat st {};
        if (::lstat(Local(path).constData(), &st) != 0) continue;
        const bool old = now - st.st_mtime > kForeignTemporaryAgeSeconds;
        // A process of this host is asked; one elsewhere cannot be, so only age tells. A
        // living owner's temporary goes only when old (its number was taken by another).
        const bool orphan = host == ourHost ? !ProcessAlive(pid) || old : old;
        if (orphan && QFile::remove(path)) removed << path;
    }
    return removed;
}

QByteArray FolderWriteProblem(const QString& folder) {
    const QByteArray local = Local(folder);
    struct stat st {};
    if (::stat(local.constData(), &st) != 0) {
        if (errno == ENOENT) return "fehlt";
        return Ansi::Lit("ist nicht erreichbar (") + ::strerror(errno) + ")";
    }
    if (!S_ISDIR(st.st_mode)) return "ist kein Ordner";
    // Only a try tells: permissions, a read-only mount, an immutable folder, a file share.
    QByteArray probe = TemporaryTemplate(local + "/probe");
    const int fd = ::mkstemp(probe.data());
    if (fd < 0) return Ansi::Lit("ist nicht beschreibbar (") + ::strerror(errno) + ")";
    ::close(fd);
    ::unlink(probe.constData());
    return {};
}

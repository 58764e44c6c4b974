#include "web/WebUsers.h"

#include <sys/stat.h>

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QPasswordDigestor>
#include <QRandomGenerator>

#include "common/Ansi.h"
#include "common/Errors.h"
#include "common/FileReplace.h"

namespace {

constexpr char kScheme[] = "pbkdf2-sha256";

QByteArray Derive(const QString& password, const QByteArray& salt, int rounds) {
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(), salt,
                                              rounds, 32);
}

// Compares in a time that does not depend on where the bytes differ.
bool SameBytes(const QByteArray& a, const QByteArray& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace

QString WebUsers::FilePath(const QString& root) { return root + u'/' + QLatin1String(kFileName); }

QString WebUsers::NameProblem(const QString& name) {
    if (name.isEmpty() || name.size() > 64) {
        return QStringLiteral("Der Benutzername muss 1 bis 64 Zeichen lang sein.");
    }
    for (QChar c : name) {
        if (c.isLetterOrNumber() || c == u'.' || c == u'-' || c == u'_' || c == u'@') continue;
        return QStringLiteral(
            "Der Benutzername darf nur Buchstaben, Ziffern und . - _ @ "
            "enthalten.");
    }
    return {};
}

bool WebUsers::ValidRole(const QString& role) {
    return role == QStringLiteral("lesen") || role == QStringLiteral("bedienen");
}

TWebUser WebUsers::Make(const QString& name, const QString& role, const QString& password,
                        int rounds) {
    TWebUser user{name, role, rounds, QByteArray(16, '\0'), {}};
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(user.salt.data()), 4);
    user.hash = Derive(password, user.salt, rounds);
    return user;
}

bool WebUsers::Verify(const TWebUser& user, const QString& password) {
    if (user.rounds <= 0 || user.hash.isEmpty()) return false;
    return SameBytes(Derive(password, user.salt, user.rounds), user.hash);
}

QList<TWebUser> WebUsers::Read(const QString& path) {
    QList<TWebUser> users;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return users;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QList<QByteArray> f = raw.trimmed().split(':');
        if (f.size() != 6 || f[2] != kScheme) continue;
        TWebUser user{QString::fromUtf8(f[0]), QString::fromUtf8(f[1]), f[3].toInt(),
                      QByteArray::fromBase64(f[4]), QByteArray::fromBase64(f[5])};
        if (NameProblem(user.name).isEmpty() && ValidRole(user.role) && user.rounds > 0) {
            users.append(user);
        }
    }
    return users;
}

void WebUsers::Write(const QString& path, const QList<TWebUser>& users) {
    QByteArray text;
    for (const TWebUser& u : users) {
        text += u.name.toUtf8() + ':' + u.role.toUtf8() + ':' + kScheme + ':' +
                QByteArray::number(u.rounds) + ':' + u.salt.toBase64() + ':' + u.hash.toBase64() +
                '\n';
    }
    // The temporary is made with the process's umask: owner-only from the start.
    const mode_t before = ::umask(077);
    try {
        WriteAtomic(path, text);
    } catch (...) {
        ::umask(before);
        throw;
    }
    ::umask(before);
    if (::chmod(QFile::encodeName(path).constData(), 0600) != 0) {
        throw FileError(Ansi::Lit("Rechte setzen"), path, errno);
    }
}

const TWebUser* TWebUserFile::Find(const QString& name) {
    Refresh();
    for (const TWebUser& u : users_) {
        if (u.name == name) return &u;
    }
    return nullptr;
}

void TWebUserFile::Refresh() {
    const QFileInfo info(path_);
    const QDateTime modified = info.exists() ? info.lastModified() : QDateTime();
    const qint64 size = info.exists() ? info.size() : -1;
    if (modified == modified_ && size == size_) return;
    modified_ = modified;
    size_ = size;
    users_ = WebUsers::Read(path_);
}

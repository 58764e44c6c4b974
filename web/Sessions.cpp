#include "web/Sessions.h"

#include <QFileInfo>
#include <QRandomGenerator>

namespace {

constexpr qint64 kIdleMs = 12LL * 3600 * 1000;
constexpr int kMaxSessions = 1000;

}  // namespace

TSessions::TSessions(const QString& usersPath, QObject* parent)
    : QObject(parent), users_(usersPath) {
    users_.Refresh();
    // The folder sees the file replaced (a rename), the file itself an edit in place.
    watcher_.addPath(QFileInfo(usersPath).absolutePath());
    if (QFileInfo::exists(usersPath)) watcher_.addPath(usersPath);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, [this] { UsersChanged(); });
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, [this] { UsersChanged(); });
}

QByteArray TSessions::Open(const TWebUser& user) {
    if (sessions_.size() >= kMaxSessions) {
        auto oldest = sessions_.begin();
        for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
            if (it->lastUsed.elapsed() > oldest->lastUsed.elapsed()) oldest = it;
        }
        End(oldest, QStringLiteral("verdrängt"));
    }
    QByteArray random(32, '\0');
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(random.data()), 8);
    const QByteArray token =
        random.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    TSession session{user.name, user.salt, {}};
    session.lastUsed.start();
    sessions_.insert(token, session);
    return token;
}

void TSessions::Close(const QByteArray& token) { sessions_.remove(token); }

QString TSessions::Invalid(const TSession& session, const TWebUser* user) {
    if (!user) return QStringLiteral("Benutzer entfernt");
    if (user->salt != session.salt) return QStringLiteral("Passwort geändert");
    return {};
}

const TWebUser* TSessions::Find(const QByteArray& token) {
    const auto it = sessions_.find(token);
    if (token.isEmpty() || it == sessions_.end()) return nullptr;
    if (it->lastUsed.elapsed() > kIdleMs) {
        End(it, QStringLiteral("abgelaufen"));
        return nullptr;
    }
    const TWebUser* user = users_.Find(it->user);
    if (const QString why = Invalid(*it, user); !why.isEmpty()) {
        End(it, why);
        return nullptr;
    }
    it->lastUsed.start();
    return user;
}

TSessions::TList::iterator TSessions::End(TList::iterator it, const QString& why) {
    const QByteArray token = it.key();
    const QString user = it->user;
    it = sessions_.erase(it);
    emit Ended(token, user, why);
    return it;
}

void TSessions::UsersChanged() {
    // A file made after the start (the first user) is watched from now on.
    if (QFileInfo::exists(users_.Path()) && !watcher_.files().contains(users_.Path())) {
        watcher_.addPath(users_.Path());
    }
    if (!users_.Refresh()) return;
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        const QString why = Invalid(*it, users_.Find(it->user));
        it = why.isEmpty() ? std::next(it) : End(it, why);
    }
}

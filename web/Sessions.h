#pragma once
// The sessions of the page's users: a random token in a cookie names one. A session ends at
// its logout, after 12 hours unused, and as soon as its user's entry in the users file
// changes (a new password) or goes. The file is changed by another process (`--web-user`),
// so it is watched, and Ended is said at once: the front closes that session's streams.
#include <QByteArray>
#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QHash>
#include <QObject>
#include <QString>

#include "web/WebUsers.h"

class TSessions final : public QObject {
    Q_OBJECT

  public:
    explicit TSessions(const QString& usersPath, QObject* parent = nullptr);

    TWebUserFile& Users() { return users_; }
    // A new session of user; its token.
    QByteArray Open(const TWebUser& user);
    void Close(const QByteArray& token);
    // The session's user as the users file says now, or nullptr (and the session ends).
    // Valid until the users file is read again.
    const TWebUser* Find(const QByteArray& token);
    int Count() const { return int(sessions_.size()); }

  signals:
    // why: "abgelaufen", "Passwort geändert", "Benutzer entfernt", "verdrängt".
    void Ended(const QByteArray& token, const QString& user, const QString& why);

  private:
    struct TSession {
        QString user;
        QByteArray salt;  // of the password it was opened with
        QElapsedTimer lastUsed;
    };
    using TList = QHash<QByteArray, TSession>;  // by token
    // Why the session no longer holds for user (nullptr: gone); empty when it does.
    static QString Invalid(const TSession& session, const TWebUser* user);
    // Ends the session, says so; the next one.
    TList::iterator End(TList::iterator it, const QString& why);
    void UsersChanged();

    TWebUserFile users_;
    QFileSystemWatcher watcher_;
    TList sessions_;
};

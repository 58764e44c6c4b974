#pragma once
// Logins without holding up the page: a password's hash is checked on a thread of its own,
// one at a time (the event loop keeps the other core), with a bound on how many wait.
// Failed logins slow down the next tries: from the fifth for one user from one address, from
// the twentieth for an address (which a shop's machines may share); each doubles the wait,
// up to five minutes, and a quarter of an hour without one forgets them. A user's right
// password still works from an address that has not failed.
#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <functional>

#include "web/WebUsers.h"

class TLogins final : public QObject {
    Q_OBJECT

  public:
    explicit TLogins(QObject* parent = nullptr);
    ~TLogins() override;

    // True (and the longest wait in *waitMs) when user from address must wait.
    bool Throttled(const QString& user, const QByteArray& address, qint64* waitMs);
    void Failed(const QString& user, const QByteArray& address);
    void Succeeded(const QString& user, const QByteArray& address);

    // Checks password against user off the event loop; done(ok) runs on this object's
    // thread. user nullptr: a name nobody has, checked as long as a real one so that the
    // answer's time tells nothing. False (done is not called) when too many checks wait, in
    // all or from address (so one address cannot keep everybody else from logging in).
    bool Check(const TWebUser* user, const QString& password, const QByteArray& address,
               const std::function<void(bool)>& done);

  private:
    struct TFailures {
        int count = 0;
        QElapsedTimer since;   // the last failure
        qint64 blockedMs = 0;  // no try before since + blockedMs
    };
    bool Blocked(const QString& key, qint64* waitMs);
    void Count(const QString& key, int free);

    QThreadPool pool_;
    int waiting_ = 0;
    QHash<QByteArray, int> waitingFrom_;
    QHash<QString, TFailures> failures_;
};

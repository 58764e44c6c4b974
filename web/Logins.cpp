#include "web/Logins.h"

#include <optional>

namespace {

constexpr int kFreeUserFailures = 4;
constexpr int kFreeAddressFailures = 19;
constexpr qint64 kMaxWaitMs = 5 * 60 * 1000;
constexpr qint64 kForgetMs = 15 * 60 * 1000;
// A check takes a tenth of a second or so: this many wait at most (a few seconds' work),
// and this many of one address.
constexpr int kMaxWaiting = 32;
constexpr int kMaxWaitingFrom = 4;

QString UserKey(const QString& user, const QByteArray& address) {
    return QStringLiteral("u:") + QString::fromLatin1(address) + u'\n' + user;
}

QString AddressKey(const QByteArray& address) {
    return QStringLiteral("a:") + QString::fromLatin1(address);
}

}  // namespace

TLogins::TLogins(QObject* parent) : QObject(parent) { pool_.setMaxThreadCount(1); }

TLogins::~TLogins() { pool_.waitForDone(); }

bool TLogins::Blocked(const QString& key, qint64* waitMs) {
    const auto it = failures_.find(key);
    if (it == failures_.end()) return false;
    const qint64 since = it->since.elapsed();
    if (since > kForgetMs) {
        failures_.erase(it);
        return false;
    }
    if (since >= it->blockedMs) return false;
    *waitMs = std::max(*waitMs, it->blockedMs - since);
    return true;
}

bool TLogins::Throttled(const QString& user, const QByteArray& address, qint64* waitMs) {
    return Blocked(UserKey(user, address), waitMs) | Blocked(AddressKey(address), waitMs);
}

void TLogins::Count(const QString& key, int free) {
    if (failures_.size() > 10000) {
        // Many addresses: forget those long quiet.
        for (auto it = failures_.begin(); it != failures_.end();) {
            it = it->since.elapsed() > kForgetMs ? failures_.erase(it) : std::next(it);
        }
    }
    TFailures& f = failures_[key];
    if (f.since.isValid() && f.since.elapsed() > kForgetMs) f = {};
    ++f.count;
    f.since.start();
    if (f.count > free) {
        const int doublings = std::min(f.count - free - 1, 20);
        f.blockedMs = std::min(kMaxWaitMs, qint64(1000) << doublings);
    }
}

void TLogins::Failed(const QString& user, const QByteArray& address) {
    Count(UserKey(user, address), kFreeUserFailures);
    Count(AddressKey(address), kFreeAddressFailures);
}

void TLogins::Succeeded(const QString& user, const QByteArray& address) {
    failures_.remove(UserKey(user, address));
}

bool TLogins::Check(const TWebUser* user, const QString& password, const QByteArray& address,
                    const std::function<void(bool)>& done) {
    if (waiting_ >= kMaxWaiting || waitingFrom_.value(address) >= kMaxWaitingFrom) return false;
    ++waiting_;
    ++waitingFrom_[address];
    const std::optional<TWebUser> checked = user ? std::optional(*user) : std::nullopt;
    // The destructor waits for the pool: this outlives every check.
    pool_.start([this, checked, password, address, done] {
        static const TWebUser nobody =
            WebUsers::Make(QStringLiteral("-"), TRole::Read, QStringLiteral("-"));
        const bool ok = WebUsers::Verify(checked.value_or(nobody), password) && checked;
        QMetaObject::invokeMethod(
            this,
            [this, ok, address, done] {
                --waiting_;
                if (--waitingFrom_[address] <= 0) waitingFrom_.remove(address);
                done(ok);
            },
            Qt::QueuedConnection);
    });
    return true;
}

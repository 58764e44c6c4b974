#pragma once
// The users of the web page: ROOT/.dnc-web-users, readable by the server's user only, one
// line a user: name:role:pbkdf2-sha256:rounds:salt:hash (salt and hash in Base64).
// A "lesen" user sees; a "bedienen" user also uploads programs and aborts a send.
#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

struct TWebUser {
    QString name;
    QString role;  // "lesen" or "bedienen"
    int rounds = 0;
    QByteArray salt;
    QByteArray hash;
};

namespace WebUsers {

inline constexpr char kFileName[] = ".dnc-web-users";
inline constexpr int kRounds = 100000;

QString FilePath(const QString& root);

// Empty when name can be a user name (letters, digits, ".", "-", "_", "@"; 1 to 64),
// otherwise why not (German).
QString NameProblem(const QString& name);
bool ValidRole(const QString& role);

// A user with a fresh salt and the password's hash.
TWebUser Make(const QString& name, const QString& role, const QString& password,
              int rounds = kRounds);
bool Verify(const TWebUser& user, const QString& password);

// The users in the file (none when it is missing); lines that are not users are skipped.
QList<TWebUser> Read(const QString& path);
// Replaces the file (atomically, mode 0600). Throws FileError.
void Write(const QString& path, const QList<TWebUser>& users);

}  // namespace WebUsers

// The users file as the server uses it: read again when it changed on disk.
class TWebUserFile {
  public:
    explicit TWebUserFile(const QString& path) : path_(path) {}
    // The user of that name, or nullptr.
    const TWebUser* Find(const QString& name);

  private:
    void Refresh();
    QString path_;
    QDateTime modified_;
    qint64 size_ = -1;
    QList<TWebUser> users_;
};

#pragma once
// The users of the web page: ROOT/.dnc-web-users, readable by the server's user only, one
// line a user: name:role:pbkdf2-sha256:rounds:salt:hash (salt and hash in Base64).
// A "lesen" user sees; a "bedienen" user also uploads programs and aborts a send.
#include <QByteArray>
#include <QList>
#include <QString>

// What a user may do, in order: a route names the least it needs (None: no session).
enum class TRole { None, Read, Operate };

struct TWebUser {
    QString name;
    TRole role = TRole::Read;
    int rounds = 0;
    QByteArray salt;  // new with each password: a changed salt is a changed password
    QByteArray hash;
};

namespace WebUsers {

inline constexpr char kFileName[] = ".dnc-web-users";
inline constexpr int kRounds = 100000;

QString FilePath(const QString& root);

// Empty when name can be a user name (letters, digits, ".", "-", "_", "@"; 1 to 64),
// otherwise why not (German).
QString NameProblem(const QString& name);
// "lesen" or "bedienen"; None for any other word.
TRole ParseRole(const QString& word);
QString RoleName(TRole role);

// A user with a fresh salt and the password's hash.
TWebUser Make(const QString& name, TRole role, const QString& password, int rounds = kRounds);
bool Verify(const TWebUser& user, const QString& password);

// The users in the file (none when it is missing); lines that are not users are skipped.
QList<TWebUser> Read(const QString& path);
// Replaces the file (atomically, mode 0600). Throws FileError.
void Write(const QString& path, const QList<TWebUser>& users);

}  // namespace WebUsers

// The users file as the server uses it: read again when it changed on disk (`--web-user`
// replaces it by a rename, so a new file is a change even within one clock tick).
class TWebUserFile {
  public:
    explicit TWebUserFile(const QString& path) : path_(path) {}
    const QString& Path() const { return path_; }
    // The user of that name, or nullptr.
    const TWebUser* Find(const QString& name);
    // Reads the file again when it changed; true when it did.
    bool Refresh();

  private:
    QString path_;
    QByteArray stamp_;  // inode, size and modification time as last read
    QList<TWebUser> users_;
};

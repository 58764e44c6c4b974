#pragma once
// A real pseudo-terminal standing for a serial line: the test plays the machine on the master
// side, the program under test opens the slave by its path, found through the port map (COMn
// links in $XDG_CONFIG_HOME/dnc-server/ports). Both sides are closed when it goes.
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

class TestPty {
  public:
    TestPty() {
        char name[256] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) == 0) path_ = name;
    }
    ~TestPty() { Close(); }
    TestPty(const TestPty&) = delete;
    TestPty& operator=(const TestPty&) = delete;

    bool Ok() const { return master_ >= 0; }
    int Master() const { return master_; }
    int Slave() const { return slave_; }
    // The slave's device, /dev/pts/N.
    const QByteArray& Path() const { return path_; }

    // Bytes pass as they are: no echo, no line editing, no CR/LF translation. Master and
    // slave share the one setting.
    void Raw() {
        termios t{};
        if (::tcgetattr(master_, &t) != 0) return;
        ::cfmakeraw(&t);
        ::tcsetattr(master_, TCSANOW, &t);
    }
    // A read on the master returns at once when nothing waits.
    void NonBlocking() {
        if (Ok()) ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    // Only the program under test holds the slave then: when it closes its port, the line
    // hangs up.
    void CloseSlave() { Close(slave_); }
    void Close() {
        Close(slave_);
        Close(master_);
    }

    // COM<port> of the port map under configHome ($XDG_CONFIG_HOME) leads to this line.
    bool MapAs(const QString& configHome, int port) const {
        return LinkAs(PortEntry(configHome, port));
    }
    // link (a port map entry, or a device name an entry leads to) leads to this line.
    bool LinkAs(const QString& link) const { return Ok() && Relink(link, path_); }

    static QString PortEntry(const QString& configHome, int port) {
        return configHome + QStringLiteral("/dnc-server/ports/COM") + QString::number(port);
    }
    // link leads to target, whatever it was before; its folder is made.
    static bool Relink(const QString& link, const QByteArray& target) {
        QDir().mkpath(QFileInfo(link).absolutePath());
        const QByteArray path = QFile::encodeName(link);
        ::unlink(path.constData());
        return ::symlink(target.constData(), path.constData()) == 0;
    }

  private:
    static void Close(int& fd) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }

    int master_ = -1;
    int slave_ = -1;
    QByteArray path_;
};

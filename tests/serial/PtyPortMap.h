#pragma once
// A temporary per-user port map whose COMn links lead to real pseudo-terminals.
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QThread>
#include <chrono>
#include <functional>
#include <map>

#include "serial/Serial.h"

class PtyPortMap {
  public:
    // Every default-mapped name (COM1..COM12) gets a dangling link, so that the machine's
    // own devices never take part in a test.
    PtyPortMap() : folder_(dir_.path().toUtf8() + "/dnc-server/ports") {
        qputenv("XDG_CONFIG_HOME", dir_.path().toUtf8());
        QDir().mkpath(QString::fromUtf8(folder_));
        for (int n = 1; n <= 12; ++n) Link(n, "/nonexistent/tty");
        ResetPortProbeForTests();
    }
    ~PtyPortMap() {
        for (auto& [port, master] : masters_) close(master);
        ResetPortProbeForTests();
    }

    // COMn -> a new pseudo-terminal; returns its master side (raw, non-blocking).
    int AddPty(int port) {
        int master = -1, slave = -1;
        char name[128] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return -1;
        termios t{};
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        close(slave);
        Link(port, name);
        masters_[port] = master;
        return master;
    }

    void Link(int port, const QByteArray& target) {
        const QByteArray entry = folder_ + "/COM" + QByteArray::number(port);
        unlink(entry.constData());
        [[maybe_unused]] int r = symlink(target.constData(), entry.constData());
    }

    // Hangs up: the other side of the line goes away.
    void CloseMaster(int port) {
        close(masters_[port]);
        masters_.erase(port);
    }

    // Everything the port sent so far, waiting until want bytes came.
    QByteArray ReadMaster(int port, int want) {
        QByteArray got;
        WaitFor([&] {
            char buf[4096];
            ssize_t n;
            while ((n = read(masters_[port], buf, sizeof buf)) > 0) got.append(buf, n);
            return got.size() >= want;
        });
        return got;
    }

    void WriteMaster(int port, const QByteArray& bytes) {
        [[maybe_unused]] ssize_t n = write(masters_[port], bytes.constData(), bytes.size());
    }

    // Runs the event loop until pred holds (or a generous safety limit passes).
    static bool WaitFor(const std::function<bool()>& pred) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!pred()) {
            if (std::chrono::steady_clock::now() > end) return false;
            QCoreApplication::processEvents();
            QThread::msleep(2);
        }
        return true;
    }

  private:
    QTemporaryDir dir_;
    QByteArray folder_;
    std::map<int, int> masters_;
};

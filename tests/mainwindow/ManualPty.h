#pragma once
// A pseudo-terminal standing in for the machine's end of the line, reached through the
// port map as COM<n>: everything the window writes is collected by a reader thread.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "serial/Port.h"

class ManualPty {
  public:
    explicit ManualPty(int port) {
        qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return;
        termios t{};
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        const QByteArray folder = Port::MapFolder();
        QDir().mkpath(QString::fromLocal8Bit(folder));
        const QByteArray link = folder + "/COM" + QByteArray::number(port);
        ok = symlink(ttyname(slave), link.constData()) == 0;
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        reader = std::thread([this] { Read(); });
    }
    ~ManualPty() {
        stop = true;
        if (reader.joinable()) reader.join();
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }

    bool ok = false;

    // What arrived so far once `marker` has arrived (or the wait gave up), marker removed.
    QByteArray Until(const QByteArray& marker) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            {
                std::lock_guard lock(mutex);
                const qsizetype at = got.indexOf(marker);
                if (at >= 0) {
                    QByteArray before = got.left(at);
                    got.remove(0, at + marker.size());
                    return before;
                }
                if (std::chrono::steady_clock::now() > end) return got + "<no marker>";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    // Bytes from the machine's side, into the window's receive queue.
    void Send(const QByteArray& bytes) { (void)!write(master, bytes.constData(), bytes.size()); }

  private:
    void Read() {
        char buffer[65536];
        while (!stop) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) {
                std::lock_guard lock(mutex);
                got.append(buffer, n);
            }
        }
    }

    QTemporaryDir home;
    int master = -1;
    int slave = -1;
    std::thread reader;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    QByteArray got;
};

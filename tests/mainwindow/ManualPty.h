#pragma once
// A pseudo-terminal standing in for the machine's end of the line, reached through the
// port map as COM<n>: everything the window writes is collected by a reader thread.
#include <poll.h>
#include <unistd.h>

#include <QByteArray>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "tests/common/TestPty.h"

class ManualPty {
  public:
    explicit ManualPty(int port) {
        qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
        if (!line.Ok()) return;
        line.Raw();
        ok = line.MapAs(home.path(), port);
        line.NonBlocking();
        reader = std::thread([this] { Read(); });
    }
    ~ManualPty() {
        stop = true;
        if (reader.joinable()) reader.join();
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
    void Send(const QByteArray& bytes) {
        (void)!write(line.Master(), bytes.constData(), bytes.size());
    }

  private:
    void Read() {
        char buffer[65536];
        while (!stop) {
            pollfd p{line.Master(), POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            const ssize_t n = read(line.Master(), buffer, sizeof buffer);
            if (n > 0) {
                std::lock_guard lock(mutex);
                got.append(buffer, n);
            }
        }
    }

    QTemporaryDir home;
    TestPty line;
    std::thread reader;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    QByteArray got;
};

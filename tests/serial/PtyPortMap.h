#pragma once
// A temporary per-user port map whose COMn links lead to real pseudo-terminals.
#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThread>
#include <chrono>
#include <functional>
#include <map>
#include <memory>

#include "serial/Serial.h"
#include "tests/common/TestPty.h"

class PtyPortMap {
  public:
    // Every default-mapped name (COM1..COM12) gets a dangling link, so that the machine's
    // own devices never take part in a test.
    PtyPortMap() {
        qputenv("XDG_CONFIG_HOME", dir_.path().toUtf8());
        for (int n = 1; n <= 12; ++n) Link(n, "/nonexistent/tty");
        ResetPortProbeForTests();
    }
    ~PtyPortMap() {
        ptys_.clear();
        ResetPortProbeForTests();
    }

    // COMn -> a new pseudo-terminal; returns its master side (raw, non-blocking).
    int AddPty(int port) {
        auto pty = std::make_unique<TestPty>();
        if (!pty->Ok()) return -1;
        pty->Raw();
        pty->NonBlocking();
        pty->CloseSlave();
        Link(port, pty->Path());
        ptys_[port] = std::move(pty);
        return ptys_[port]->Master();
    }

    void Link(int port, const QByteArray& target) {
        TestPty::Relink(TestPty::PortEntry(dir_.path(), port), target);
    }

    // Hangs up: the other side of the line goes away.
    void CloseMaster(int port) { ptys_.erase(port); }

    // Everything the port sent so far, waiting until want bytes came.
    QByteArray ReadMaster(int port, int want) {
        QByteArray got;
        WaitFor([&] {
            char buf[4096];
            ssize_t n;
            while ((n = read(ptys_.at(port)->Master(), buf, sizeof buf)) > 0) got.append(buf, n);
            return got.size() >= want;
        });
        return got;
    }

    void WriteMaster(int port, const QByteArray& bytes) {
        [[maybe_unused]] ssize_t n =
            write(ptys_.at(port)->Master(), bytes.constData(), bytes.size());
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
    std::map<int, std::unique_ptr<TestPty>> ptys_;
};

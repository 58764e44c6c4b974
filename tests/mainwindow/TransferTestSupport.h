#pragma once
// A workspace for end-to-end transfer tests: a temporary working folder with Config.ini,
// send and save folders, the port map's COM1 linked to a real pseudo-terminal whose master
// side plays the machine, and SerDemo.ini selecting COM1. The window is the real TForm1.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "serial/Serial.h"
#include "tests/common/TestFiles.h"
#include "tests/common/TestPty.h"

namespace transfer_test {

using test_files::ReadFile;
using test_files::WaitFor;
using test_files::WriteFile;

// Config.ini values of lines 5..11 (the folders are the workspace's).
struct TransferConfig {
    QByteArray ext = "CNC", log = "DNC", ak = "O", prgEnd = "M30", comPort = "Test", prgAk = "Prg",
               timer = "0";
    QByteArray extra;  // the lines after line 13
};

class Workspace {
  public:
    // ownLine false: the caller links COM1 (LinkPath) to a line of its own, then Probe().
    explicit Workspace(const TransferConfig& config = TransferConfig(), bool ownLine = true) {
        old_ = QDir::currentPath();
        QDir::setCurrent(dir_.path());
        QDir().mkpath("send");
        QDir().mkpath("save");
        WriteFile("send/" + QString::fromLatin1(config.log) + ".log", "");
        const QByteArray lines[] = {"Config.ini=13",
                                    "a=1",
                                    "b=2",
                                    "c=3",
                                    "Ext=" + config.ext,
                                    "Log=" + config.log,
                                    "AK=" + config.ak,
                                    "End=" + config.prgEnd,
                                    "Com=" + config.comPort,
                                    "PrgAK=" + config.prgAk,
                                    "Timer=" + config.timer,
                                    "Send=" + SendDir(),
                                    "Save=" + SaveDir()};
        QByteArray ini;
        for (const QByteArray& l : lines) ini += l + "\r\n";
        WriteFile("Config.ini", ini + config.extra);

        // One config folder per process: the port probe runs once.
        static QTemporaryDir config_dir;
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config_dir.path()));
        const QString base = config_dir.path() + "/dnc-server";
        QDir().mkpath(base + "/ports");
        WriteFile(base + "/SerDemo.ini",
                  "[SerBsp1]\r\nConfiguration=RRS0001074000000204800002048100000170190000160000"
                  "000400063026010000000000000000000001000108\r\n");
        link_ = QFile::encodeName(base + "/ports/COM1");
        ::unlink(link_.constData());
        if (!ownLine) return;
        line_ = std::make_unique<TestPty>();
        if (!line_->Ok()) {
            ADD_FAILURE() << "openpty failed";
            return;
        }
        line_->Raw();
        EXPECT_TRUE(line_->LinkAs(QFile::decodeName(link_)));
        Probe();
        reader_ = std::thread([this] { ReadLoop(); });
    }

    ~Workspace() {
        stop_ = true;
        if (reader_.joinable()) reader_.join();
        ::unlink(link_.constData());
        line_.reset();
        QDir::setCurrent(old_);
    }

    QString LinkPath() const { return QFile::decodeName(link_); }
    static void Probe() {
        ResetPortProbeForTests();
        EnsurePortsProbed(8);
    }

    QString Path(const QString& name) const { return dir_.filePath(name); }
    QByteArray SendDir() const { return QFile::encodeName(dir_.filePath("send")); }
    QByteArray SaveDir() const { return QFile::encodeName(dir_.filePath("save")); }

    // The machine sends bytes (one write: they arrive as one read when the window waits).
    void CncWrite(const QByteArray& bytes) {
        ASSERT_EQ(::write(line_->Master(), bytes.constData(), size_t(bytes.size())), bytes.size());
    }
    // Everything the machine received so far.
    QByteArray CncReceived() {
        std::lock_guard lock(mutex_);
        return received_;
    }
    bool WaitCncReceived(qsizetype count) {
        return WaitFor([&] { return CncReceived().size() >= count; });
    }

  private:
    // Reads the line all the time, as a machine does: the window's writes never block.
    void ReadLoop() {
        while (!stop_) {
            pollfd p{line_->Master(), POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN)) continue;
            char buf[4096];
            const ssize_t n = ::read(line_->Master(), buf, sizeof buf);
            if (n > 0) {
                std::lock_guard lock(mutex_);
                received_.append(buf, n);
            }
        }
    }

    QTemporaryDir dir_;
    QString old_;
    std::unique_ptr<TestPty> line_;  // with ownLine: the machine's end and the slave
    QByteArray link_;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    QByteArray received_;
};

}  // namespace transfer_test

#pragma once
// The transfer engine with no window: a temporary working folder with send and save folders
// and a log, the transfer settings in ConfigValues, the serial component on COM1 of a
// temporary port map, and a view that records what the engine reports. The machine is
// either a pseudo-terminal the test holds itself (OwnLine) or the virtual CNC tool, which
// paces, stalls and splits like a real control.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <functional>
#include <memory>

#include "config/ConfigValues.h"
#include "engine/SendTable.h"
#include "engine/TransferEngine.h"
#include "engine/TransferView.h"
#include "serial/Serial.h"
#include "tests/common/TestFiles.h"
#include "tests/common/TestPty.h"

namespace engine_test {

using test_files::ReadFile;
using test_files::WaitFor;
using test_files::WriteFile;

// Everything the engine reports, kept.
struct RecordingView : TTransferView {
    QList<QByteArray> trace, status, banner, notes;
    QByteArray received;
    bool keepReceived = true;  // off where the line carries hundreds of megabytes
    QList<TSendProgress> progress;
    QList<int> lost, reopened;
    int cleared = 0;
    int loaded = 0;
    QByteArray saveFolder;

    void Trace(const QByteArray& line) override { trace.append(line); }
    void ClearTrace() override { trace.clear(); }
    void ShowTrace() override {}
    void Received(const QByteArray& bytes) override {
        if (keepReceived) received += bytes;
    }
    void ReceivedNote(const QByteArray& line) override { notes.append(line); }
    void Status(const QByteArray& text) override { status.append(text); }
    void Banner(const QByteArray& text, TBanner) override { banner.append(text); }
    void ProgramLoaded(const TSendTable&, TProgramShown) override { ++loaded; }
    void LinesSent(const TSendTable&, int, int, TSendKind) override {}
    void SendProgress(const TSendProgress& p) override { progress.append(p); }
    void LineSignal(TLineSignal) override {}
    void DeviceLost(int port) override { lost.append(port); }
    void PortReopened(int port) override { reopened.append(port); }
    void Cleared() override { ++cleared; }
    void SaveFolderShown(const QByteArray& folder) override { saveFolder = folder; }
    QWidget* DialogParent() override { return nullptr; }

    // The trace lines that contain text.
    int TraceCount(const QByteArray& text) const {
        int n = 0;
        for (const QByteArray& line : trace) n += line.contains(text) ? 1 : 0;
        return n;
    }
    bool StatusShown(const QByteArray& text) const {
        for (const QByteArray& s : status)
            if (s.contains(text)) return true;
        return false;
    }
};

struct Settings {
    QByteArray ext = "CNC", ak = "O", prgAk = "Prg", timer = "0";
};

class EngineRig {
  public:
    explicit EngineRig(const Settings& s = Settings()) {
        old_ = QDir::currentPath();
        QDir::setCurrent(dir_.path());
        QDir().mkpath("send");
        QDir().mkpath("save");
        WriteFile("send/DNC.log", "");
        for (auto& v : ConfigValues) v.clear();
        ConfigValues[CfgSlot::Ext] = s.ext;
        ConfigValues[CfgSlot::Log] = "DNC";
        ConfigValues[CfgSlot::AK] = s.ak;
        ConfigValues[CfgSlot::PrgEnd] = "M30";
        ConfigValues[CfgSlot::ComPort] = "Test";
        ConfigValues[CfgSlot::PrgAK] = s.prgAk;
        ConfigValues[CfgSlot::Timer] = s.timer;
        ConfigValues[CfgSlot::Send] = QFile::encodeName(dir_.filePath("send"));
        ConfigValues[CfgSlot::Save] = QFile::encodeName(dir_.filePath("save"));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config_.path()));
        QDir().mkpath(config_.path() + "/dnc-server/ports");
        link_ = config_.path() + "/dnc-server/ports/COM1";
        device_ = config_.path() + "/ttyRig";
    }

    ~EngineRig() {
        engine.reset();
        serial.reset();
        if (cnc_) {
            cnc_->kill();
            cnc_->waitForFinished(5000);
        }
        line_.reset();
        ResetPortProbeForTests();
        QDir::setCurrent(old_);
    }

    QString Path(const QString& name) const { return dir_.filePath(name); }
    QByteArray Log() const { return ReadFile(dir_.filePath("send/DNC.log")); }

    // COM1 is a pseudo-terminal whose other side the test writes with MachineWrite.
    void OwnLine() {
        PlugIn();
        Start();
    }
    // The machine's end of the line goes away (the adapter is pulled): the device's name
    // stays and leads nowhere (not to the freed pseudo-terminal number, which a test
    // running beside this one may take).
    void HangUp() {
        line_.reset();
        ASSERT_TRUE(TestPty::Relink(device_, "/nonexistent/tty"));
    }
    // The device is back under the same name (as an adapter under its udev name): the port
    // map's COM1 -> ttyRig, ttyRig -> a new pseudo-terminal.
    void PlugIn() {
        MachineLine();
        ASSERT_TRUE(TestPty::Relink(link_, QFile::encodeName(device_)));
    }
    // The machine's line, a new pseudo-terminal, under the name DevicePath() (the test holds
    // both sides: MachineWrite, MachineRead).
    void MachineLine() {
        line_ = std::make_unique<TestPty>();
        ASSERT_TRUE(line_->Ok());
        line_->Raw();
        ASSERT_TRUE(line_->LinkAs(device_));
    }
    int MachineFd() const { return line_ ? line_->Master() : -1; }
    // COM1 is the map entry `entry` (a device server's address), opened with the rig's
    // settings.
    void StartWithEntry(const QByteArray& entry) {
        WriteFile(link_, entry + "\n");
        Start();
    }
    QString DevicePath() const { return device_; }
    QString MapEntry() const { return link_; }
    void MachineWrite(const QByteArray& bytes) {
        ASSERT_EQ(::write(MachineFd(), bytes.constData(), size_t(bytes.size())), bytes.size());
    }
    // What the machine got on an own line, waiting up to a second for more.
    QByteArray MachineRead() {
        QByteArray got;
        char buf[65536];
        for (int quiet = 0; quiet < 50;) {
            QCoreApplication::processEvents();
            pollfd p{MachineFd(), POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) {
                ++quiet;
                continue;
            }
            const ssize_t n = ::read(MachineFd(), buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, n);
            quiet = 0;
        }
        return got;
    }

    // COM1 is the virtual CNC, running args (after --link) until its actions are done.
    void VirtualCnc(const QStringList& args) {
        cnc_ = std::make_unique<QProcess>();
        cnc_->setProcessChannelMode(QProcess::MergedChannels);
        cnc_->start(VIRTUAL_CNC, QStringList{"--link", link_} + args);
        ASSERT_TRUE(cnc_->waitForStarted());
        ASSERT_TRUE(WaitFor([&] { return QFileInfo::exists(link_); }, 5000));
        Start();
    }
    // COM1 is a serial device server: the virtual CNC listening on 127.0.0.1 (port 0: a free
    // one, then kept for the next), reached through a port map entry "tcp://127.0.0.1:PORT".
    void NetworkCnc(const QStringList& args) {
        if (cnc_) cnc_->waitForFinished(5000);
        cnc_ = std::make_unique<QProcess>();
        cnc_->start(VIRTUAL_CNC, QStringList{"--tcp-listen", QString::number(tcpPort_)} + args);
        ASSERT_TRUE(cnc_->waitForStarted());
        QByteArray said;
        ASSERT_TRUE(WaitFor(
            [&] {
                said += cnc_->readAllStandardOutput();
                return said.contains("listening on 127.0.0.1:");
            },
            5000))
            << said.constData();
        tcpPort_ = said.mid(said.indexOf("127.0.0.1:") + 10).split('\n')[0].trimmed().toInt();
        if (!serial) {
            WriteFile(link_, "tcp://127.0.0.1:" + QByteArray::number(tcpPort_) + "\n");
            Start();
        }
    }

    // Waits for the virtual CNC to finish its actions; its exit code (3: a receive got no
    // end word).
    int CncDone(int deadlineMs = 30000) {
        EXPECT_TRUE(WaitFor([&] { return cnc_->state() == QProcess::NotRunning; }, deadlineMs))
            << CncOutput().constData();
        return cnc_->exitCode();
    }
    QByteArray CncOutput() { return cnc_->readAll(); }
    void KillCnc() {
        ::kill(pid_t(cnc_->processId()), SIGKILL);
        cnc_->waitForFinished(5000);
    }

    std::unique_ptr<TSerial> serial;
    RecordingView view;
    std::unique_ptr<TTransferEngine> engine;

  private:
    void Start() {
        ResetPortProbeForTests();
        EnsurePortsProbed(8);
        serial = std::make_unique<TSerial>();
        serial->SetCOMPort(1);
        serial->SetBaudrate(br_004800);
        serial->SetHandshakeRtsCts(true);
        serial->SetTrmTimeOut(1000);
        engine = std::make_unique<TTransferEngine>(serial.get(), &view);
        ASSERT_TRUE(serial->Open()) << serial->LastOpenError().constData();
    }

    QTemporaryDir dir_;
    QTemporaryDir config_;
    QString old_;
    QString link_;
    QString device_;
    int tcpPort_ = 0;
    std::unique_ptr<TestPty> line_;  // the machine's end of an own line
    std::unique_ptr<QProcess> cnc_;
};

}  // namespace engine_test

#pragma once
// dnc-server --service started as a unit would start it, in a machine folder of its own:
// Config.ini, send and save folders, the settings and the port map under .config. The
// machine is the virtual CNC (StartCnc) or a pseudo-terminal the test writes itself
// (OwnLine, Send).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
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

#include "tests/common/TestFiles.h"
#include "tests/common/TestPty.h"

namespace service_test {

using test_files::ReadFile;
using test_files::WaitFor;
using test_files::WriteFile;

// Lines 1 to 13 of a Config.ini, the folders given as written after "Send=" and "Save=".
inline QByteArray ConfigLines(const char* timer, const QByteArray& send, const QByteArray& save,
                              const QByteArray& ext = "CNC") {
    return "Config.ini=13\r\na\r\nb\r\nc\r\nExt=" + ext +
           "\r\nLog=DNC\r\nAK=O\r\nEnd=M30\r\nCom=Dienst\r\nPrgAK=Prg\r\nTimer=" +
           QByteArray(timer) + "\r\nSend=" + send + "\r\nSave=" + save + "\r\n";
}

inline QByteArray ConfigIni(const QTemporaryDir& dir, const char* timer) {
    return ConfigLines(timer, QFile::encodeName(dir.filePath("send")),
                       QFile::encodeName(dir.filePath("save")));
}

class ServiceRig {
  public:
    ServiceRig() {
        QDir(dir.path()).mkpath("send");
        QDir(dir.path()).mkpath("save");
        WriteFile(dir.filePath("send/DNC.log"), "");
        WriteFile(dir.filePath("Config.ini"), ConfigIni(dir, "0"));
        WriteFile(dir.filePath(".config/dnc-server/SerDemo.ini"),
                  "[SerBsp1]\r\nConfiguration=RRS000107400000020480000204810000017019000016"
                  "0000000400063026010000000000000000000001000108\r\n");
        QDir(dir.path()).mkpath(".config/dnc-server/ports");
        link = dir.filePath(".config/dnc-server/ports/COM1");
    }
    ~ServiceRig() {
        Kill();
        if (cnc.state() != QProcess::NotRunning) {
            cnc.kill();
            cnc.waitForFinished(5000);
        }
    }

    void StartCnc(const QStringList& actions) {
        cnc.setProcessChannelMode(QProcess::MergedChannels);
        cnc.start(VIRTUAL_CNC, QStringList{"--link", link} + actions);
        ASSERT_TRUE(cnc.waitForStarted());
        ASSERT_TRUE(WaitFor([&] { return QFileInfo::exists(link); }));
    }

    // COM1 is a pseudo-terminal whose machine side the test holds.
    void OwnLine() {
        line = std::make_unique<TestPty>();
        ASSERT_TRUE(line->Ok());
        line->Raw();
        line->CloseSlave();
        ASSERT_TRUE(line->LinkAs(link));
    }
    // The machine sends bytes over the own line.
    void Send(const QByteArray& bytes) {
        ASSERT_EQ(::write(line->Master(), bytes.constData(), size_t(bytes.size())), bytes.size());
    }

    // As systemd starts it: no display of any kind. asUser: run by that user instead (the
    // tests run as root). extraEnv: NAME=VALUE pairs added.
    void StartServer(const QStringList& args = {"--service"}, const QString& asUser = {},
                     const QStringList& extraEnv = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) env.remove(name);
        env.insert("XDG_CONFIG_HOME", dir.filePath(".config"));
        for (const QString& pair : extraEnv)
            env.insert(pair.section('=', 0, 0), pair.section('=', 1));
        server.setProcessEnvironment(env);
        server.setWorkingDirectory(dir.path());
        messages.clear();
        if (asUser.isEmpty()) {
            server.start(DNC_SERVER, args);
        } else {
            server.start("setpriv", QStringList{"--reuid=" + asUser, "--regid=nogroup",
                                                "--clear-groups", DNC_SERVER} +
                                        args);
        }
        ASSERT_TRUE(server.waitForStarted());
    }
    // What the server wrote to standard error since it was started.
    QByteArray Messages() {
        messages += server.readAllStandardError();
        return messages;
    }
    bool Said(const QByteArray& text, int deadlineMs = 20000) {
        return WaitFor([&] { return Messages().contains(text); }, deadlineMs);
    }
    // Started: its "Beginn" entry is in the log.
    bool Started() { return Said("in Protokoll geschrieben"); }
    int Finished() {
        EXPECT_TRUE(server.waitForFinished(15000)) << Messages().constData();
        return server.exitStatus() == QProcess::NormalExit ? server.exitCode() : -1;
    }
    void Kill() {
        if (server.state() == QProcess::NotRunning) return;
        ::kill(pid_t(server.processId()), SIGKILL);
        server.waitForFinished(5000);
    }
    // The server stopped itself (a test stop point): its state in /proc is "T".
    bool Stopped() {
        return WaitFor([&] {
            const QByteArray stat =
                ReadFile("/proc/" + QString::number(server.processId()) + "/stat");
            return stat.mid(stat.lastIndexOf(')') + 2, 1) == "T";
        });
    }
    QByteArray Log() { return ReadFile(dir.filePath("send/DNC.log")); }

    QTemporaryDir dir;
    QString link;
    QProcess server, cnc;
    QByteArray messages;
    std::unique_ptr<TestPty> line;  // the machine's end of an own line
};

}  // namespace service_test

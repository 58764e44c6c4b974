// Serial device servers nobody here wrote, on 127.0.0.1 in front of the machine's line (a
// pseudo-terminal whose other side the test holds): ser2net with a raw TCP and a telnet
// RFC 2217 accepter, and socat. Calls answered and programs saved through each, the settings
// the server applies, sends paced to the line rate, and the device server killed mid-way.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QStandardPaths>

#include "EngineRig.h"
#include "common/Ansi.h"
#include "common/ScriptedSeam.h"

using namespace engine_test;

namespace {

// A port on 127.0.0.1 that nobody listens on now.
quint16 FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// Whether a socket listens on the port, seen in /proc without connecting to it: socat
// serves the first connection only.
bool Listening(quint16 port) {
    QFile tcp("/proc/net/tcp");
    if (!tcp.open(QIODevice::ReadOnly)) return false;
    const QByteArray local = ":" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : tcp.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() > 3 && f[1].endsWith(local) && f[3] == "0A") return true;  // LISTEN
    }
    return false;
}

// The device server, in the foreground, serving the rig's machine line.
class DeviceServer {
  public:
    enum Kind { Ser2netRaw, Ser2netRfc2217, Socat };

    DeviceServer(Kind kind, const QString& device, const QString& folder) : port_(FreePort()) {
        const QString tool = kind == Socat ? "socat" : "ser2net";
        program_ = QStandardPaths::findExecutable(tool, {"/usr/sbin", "/usr/bin"});
        if (program_.isEmpty()) return;
        QStringList args;
        if (kind == Socat) {
            args = {"TCP-LISTEN:" + QString::number(port_) + ",bind=127.0.0.1,reuseaddr",
                    "OPEN:" + device + ",raw,echo=0,b4800"};
        } else {
            const QString accepter = (kind == Ser2netRfc2217 ? "telnet(rfc2217),tcp," : "tcp,") +
                                     QStringLiteral("127.0.0.1,") + QString::number(port_);
            const QString config = folder + "/ser2net.yaml";
            WriteFile(config, ("%YAML 1.1\n---\nconnection: &machine\n    accepter: " + accepter +
                               "\n    connector: serialdev," + device + ",4800n81,local\n")
                                  .toUtf8());
            args = {"-n", "-d", "-c", config, "-P", folder + "/ser2net.pid"};
        }
        args_ = args;
        Start();
    }
    ~DeviceServer() { Kill(); }

    // Starts the server (again, after a kill) on the same port.
    bool Start() {
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(program_, args_);
        running_ = process_.waitForStarted() && WaitFor([&] { return Listening(port_); }, 10000);
        return running_;
    }

    bool Running() const { return running_; }
    // The device server has opened the machine's line: it set the line's 4800 bit/s (the
    // pseudo-terminal starts at 38400). What the machine writes before that may be flushed.
    static bool HasOpened(int machine) {
        return WaitFor([&] {
            termios t{};
            return ::tcgetattr(machine, &t) == 0 && cfgetospeed(&t) == B4800;
        });
    }
    QByteArray Entry(bool rfc2217) const {
        return (rfc2217 ? "rfc2217://127.0.0.1:" : "tcp://127.0.0.1:") + QByteArray::number(port_);
    }
    void Kill() {
        if (process_.state() == QProcess::NotRunning) return;
        ::kill(pid_t(process_.processId()), SIGKILL);
        process_.waitForFinished(5000);
    }

  private:
    quint16 port_;
    QString program_;
    QStringList args_;
    QProcess process_;
    bool running_ = false;
};

// A program of `lines` lines of about 60 characters.
QByteArray Program(int lines) {
    QByteArray p = "%\r\n";
    for (int k = 1; k < lines - 1; ++k)
        p += "N" + QByteArray::number(k * 10) + " G1 X" + QByteArray::number(k * 7 % 1000) +
             ".125 Y-" + QByteArray::number(k * 13 % 1000) + ".5 Z2.0 F1200 S8000 M03 (ZEILE)\r\n";
    return p + "M30\r\n";
}

const QByteArray kCall2507 = "%Prg\r\nO2507\r\nM30\r\n";
const QByteArray kSaved = "%\r\n(DFS,P4711,)\r\nN10 G1 X10\r\nN20 M30\r\n";

// The machine reads its line no faster than 4800 bit/s, ten bits a character, catching up
// after a pause as a UART's buffer would.
class LineRateReader {
  public:
    explicit LineRateReader(int fd) : fd_(fd) {}
    void Read() {
        // The line runs from the first byte on.
        const qint64 allowed = got_.isEmpty() ? 1 : clock_.elapsed() * 480 / 1000 + 1 - got_.size();
        if (allowed <= 0) return;
        char buf[4096];
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) return;
        const ssize_t n = ::read(fd_, buf, size_t(std::min<qint64>(allowed, sizeof buf)));
        if (n <= 0) return;
        if (got_.isEmpty()) clock_.start();
        got_.append(buf, n);
    }
    const QByteArray& Got() const { return got_; }

  private:
    int fd_;
    QElapsedTimer clock_;
    QByteArray got_;
};

}  // namespace

// ser2net speaking RFC 2217: the server sets the line (ser2net applies it to its device) and
// answers a call and saves a program through it; ser2net killed in the middle of a program
// coming in: nothing saved, the loss said; ser2net back: the port opens again by itself.
TEST(DeviceServer, Ser2netRfc2217SetsTheLineAnswersSavesLosesAReceiveAndReconnects) {
    EngineRig rig;
    rig.MachineLine();
    DeviceServer server(DeviceServer::Ser2netRfc2217, rig.DevicePath(), rig.Path(""));
    if (!server.Running()) GTEST_SKIP() << "ser2net is not installed (scripts/setup.sh)";
    WriteFile(rig.Path("2507.CNC"), Program(12));
    ScriptedSeam seam;
    rig.StartWithEntry(server.Entry(true));
    ASSERT_TRUE(rig.serial->Active()) << rig.serial->LastOpenError().constData();

    // What ser2net made of its device: the rig's 4800 bit/s with RTS/CTS.
    termios t{};
    ASSERT_EQ(::tcgetattr(rig.MachineFd(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B4800));
    EXPECT_TRUE(t.c_cflag & CRTSCTS);

    rig.MachineWrite(kCall2507);
    ASSERT_TRUE(WaitFor([&] { return rig.engine->PrgCount == 1 && !rig.engine->Busy(); }));
    EXPECT_EQ(rig.MachineRead(), Program(12));
    // Every byte value passes: a program with 0xFF (IAC) and NULs in its comments.
    const char text[] = "%\r\n(DFS,P4711,)\r\n(\xFF\xFF\x00\xFE\xFF)\r\nN10 G1 X10\r\nN20 M30\r\n";
    const QByteArray odd(text, sizeof text - 1);
    rig.MachineWrite(odd);
    ASSERT_TRUE(WaitFor([&] { return QFileInfo::exists(rig.Path("save/P4711.CNC")); }));
    ASSERT_TRUE(WaitFor([&] { return !rig.engine->Busy(); }));
    EXPECT_EQ(ReadFile(rig.Path("save/P4711.CNC")), odd + "\r\n");

    rig.MachineWrite("%\r\n(DFS,HALB,)\r\nN10 G1 X5\r\n");
    ASSERT_TRUE(WaitFor([&] { return !rig.engine->RxBuffer.isEmpty(); }));
    server.Kill();
    ASSERT_TRUE(WaitFor([&] { return !rig.view.lost.isEmpty(); }));
    EXPECT_FALSE(rig.serial->Active());
    EXPECT_FALSE(QFileInfo::exists(rig.Path("save/HALB.CNC")));
    EXPECT_TRUE(rig.view.TraceCount("Empfang unterbrochen"));

    // The device server is back: the port opens again by itself, the line is agreed anew
    // and a call is answered.
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(WaitFor([&] { return !rig.view.reopened.isEmpty(); }));
    EXPECT_TRUE(rig.serial->Active());
    rig.MachineRead();  // what the cut left on the line
    const int done = rig.engine->PrgCount;
    rig.MachineWrite(kCall2507);
    ASSERT_TRUE(WaitFor([&] { return rig.engine->PrgCount == done + 1 && !rig.engine->Busy(); }));
    EXPECT_EQ(rig.MachineRead(), Program(12));
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
}

// ser2net in raw TCP mode, a machine that reads at the line rate: "sent" is logged when the
// machine has the program (within a line), and with ser2net killed in the middle of a send,
// "abgebrochen nach Zeile" names what the machine got, within a line.
TEST(DeviceServer, Ser2netRawSendsPacedToTheLineAndTellsWhereAKillCutIt) {
    EngineRig rig;
    rig.MachineLine();
    DeviceServer server(DeviceServer::Ser2netRaw, rig.DevicePath(), rig.Path(""));
    if (!server.Running()) GTEST_SKIP() << "ser2net is not installed (scripts/setup.sh)";
    const QByteArray program = Program(20);  // 1.2 KB: 2.5 s at 4800 bit/s
    const qsizetype line = program.indexOf("\r\nN20") - program.indexOf("\r\nN10");
    WriteFile(rig.Path("2507.CNC"), program);
    ScriptedSeam seam;
    rig.StartWithEntry(server.Entry(false));
    ASSERT_TRUE(rig.serial->Active()) << rig.serial->LastOpenError().constData();
    ASSERT_TRUE(DeviceServer::HasOpened(rig.MachineFd()));

    rig.MachineWrite(kCall2507);
    LineRateReader machine(rig.MachineFd());
    qsizetype atLog = -1;
    ASSERT_TRUE(WaitFor([&] {
        machine.Read();
        if (atLog < 0 && rig.Log().contains(" gesendete PRG Nr = 1 ")) atLog = machine.Got().size();
        return atLog >= 0 && machine.Got().size() == program.size();
    }));
    EXPECT_GE(atLog, program.size() - line) << "logged as sent before the machine had it";
    EXPECT_EQ(machine.Got(), program);

    // Again, and ser2net dies when the machine has about a third.
    rig.MachineWrite(kCall2507);
    LineRateReader cut(rig.MachineFd());
    ASSERT_TRUE(WaitFor([&] {
        cut.Read();
        return cut.Got().size() > program.size() / 3;
    }));
    server.Kill();
    ASSERT_TRUE(WaitFor([&] { return rig.Log().contains("abgebrochen nach Zeile "); }));
    const QByteArray got = cut.Got() + rig.MachineRead();  // what reached the line
    const QByteArray log = rig.Log();
    const int said = log.mid(log.indexOf("abgebrochen nach Zeile ") + 23).split(' ')[0].toInt();
    // Every line that reached the machine is named, but for the one under way. What ser2net
    // itself still held when it died is lost without the server knowing: how much that is
    // depends on how soon ser2net ran, so only the lower bound is exact.
    EXPECT_LE(int(got.count("\r\n")) - said, 1) << log.constData();
    EXPECT_GT(said, 0) << log.constData();
    EXPECT_LT(said, program.count("\r\n")) << log.constData();
    EXPECT_LT(got.size(), program.size());
    EXPECT_EQ(rig.Log().count(" gesendete PRG Nr = "), 1);
    EXPECT_TRUE(rig.view.banner.last().isEmpty()) << "the banner no longer says it is sent";
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
}

// socat as a raw TCP device server: a call answered, a program saved.
TEST(DeviceServer, SocatAnswersAndSaves) {
    EngineRig rig;
    rig.MachineLine();
    DeviceServer server(DeviceServer::Socat, rig.DevicePath(), rig.Path(""));
    if (!server.Running()) GTEST_SKIP() << "socat is not installed (scripts/setup.sh)";
    WriteFile(rig.Path("2507.CNC"), Program(5));
    ScriptedSeam seam;
    rig.StartWithEntry(server.Entry(false));
    ASSERT_TRUE(rig.serial->Active()) << rig.serial->LastOpenError().constData();
    ASSERT_TRUE(DeviceServer::HasOpened(rig.MachineFd()));
    rig.MachineWrite(kCall2507);
    ASSERT_TRUE(WaitFor([&] { return rig.engine->PrgCount == 1 && !rig.engine->Busy(); }));
    EXPECT_EQ(rig.MachineRead(), Program(5));
    rig.MachineWrite(kSaved);
    ASSERT_TRUE(WaitFor([&] { return QFileInfo::exists(rig.Path("save/P4711.CNC")); }));
    ASSERT_TRUE(WaitFor([&] { return !rig.engine->Busy(); }));
    EXPECT_EQ(ReadFile(rig.Path("save/P4711.CNC")), kSaved + "\r\n");
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
}

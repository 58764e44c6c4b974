// dnc-server --service end to end, as a unit would start it: no window and no display (the
// program is started without QT_QPA_PLATFORM and DISPLAY), the virtual CNC on COM1.
#include <termios.h>

#include <QDateTime>

#include "ServiceRig.h"
#include "common/ControlCases.h"

using namespace service_test;

namespace {

// The settings of the device behind a link, as any program sees them.
termios DeviceTermios(const QString& path) {
    termios t{};
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(fd, 0) << path.toStdString();
    EXPECT_EQ(::tcgetattr(fd, &t), 0);
    ::close(fd);
    return t;
}

const QByteArray kProgram = "%\r\nN10 G0 X0\r\nN20 G1 Y5 F100\r\nM30\r\n";
const QByteArray kSaved = "%\r\n(DFS,P4711,)\r\nN10 G1 X10\r\nN20 M30\r\n";

}  // namespace

TEST(Service, AnswersACallSavesAProgramAndEndsOnSigterm) {
    ServiceRig rig;
    WriteFile(rig.dir.filePath("2507.CNC"), kProgram);
    // Long enough that its trace line is cut in the journal.
    QByteArray saved = kSaved;
    for (int k = 1; k <= 30; ++k)
        saved.insert(saved.indexOf("N20"), "N1" + QByteArray::number(k) + " G1 X10 Y20\r\n");
    WriteFile(rig.dir.filePath("p4711.nc"), saved);
    rig.StartCnc({"--rate", "4800", "--chunk", "1", "--call", "2507", "--receive",
                  rig.dir.filePath("answer.txt"), "--idle-ms", "3000", "--send",
                  rig.dir.filePath("p4711.nc"), "--hold"});
    const termios found = DeviceTermios(rig.link);
    rig.StartServer();
    ASSERT_TRUE(rig.Said(" Port 1 ist ge")) << rig.Messages().constData();
    ASSERT_TRUE(WaitFor([&] { return rig.Log().contains("P4711.CNC PRG Nr = 2 "); }))
        << rig.Messages().constData();
    EXPECT_EQ(ReadFile(rig.dir.filePath("answer.txt")), kProgram);
    EXPECT_EQ(ReadFile(rig.dir.filePath("save/P4711.CNC")), saved + "\r\n");
    EXPECT_TRUE(rig.Log().startsWith("Beginn  "));
    EXPECT_TRUE(rig.Log().contains("2507.CNC gesendete PRG Nr = 1 "));
    // The journal has the trace, a time stamp on each line, received text cut short.
    EXPECT_TRUE(rig.Said("Zeichen, gek\xc3\xbcrzt)")) << rig.Messages().constData();
    const QByteArray said = rig.Messages();
    EXPECT_TRUE(said.contains("Datei ist zum senden%Prg")) << said.constData();
    for (const QByteArray& line : said.trimmed().split('\n')) {
        EXPECT_LT(line.size(), 400) << line.constData();
        EXPECT_TRUE(QDateTime::fromString(QString::fromLatin1(line.left(19)),
                                          QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                        .isValid())
            << line.constData();
    }

    // SIGHUP: Config.ini read again.
    WriteFile(rig.dir.filePath("Config.ini"), ConfigIni(rig.dir, "35"));
    ::kill(pid_t(rig.server.processId()), SIGHUP);
    ASSERT_TRUE(rig.Said("Config.ini wird neu gelesen"));
    ASSERT_TRUE(rig.Said("Timer=35")) << rig.Messages().constData();

    ::kill(pid_t(rig.server.processId()), SIGTERM);
    EXPECT_EQ(rig.Finished(), 0);
    EXPECT_TRUE(rig.Log().contains("\r\nEnde    "));
    // The device as found: the server ran it at 4800 bit/s with RTS/CTS.
    const termios left = DeviceTermios(rig.link);
    EXPECT_EQ(cfgetospeed(&left), cfgetospeed(&found));
    EXPECT_EQ(left.c_cflag, found.c_cflag);
    EXPECT_EQ(left.c_iflag, found.c_iflag);
}

TEST(Service, NothingWaitsForAnOperator) {
    ServiceRig rig;
    QFile::remove(rig.dir.filePath("send/DNC.log"));  // the log file is made
    // The machine waits between the two, as a control does: in one read they would be one
    // transmission.
    rig.StartCnc({"--send-text", "%\\r\\nN10 ohne Namen\\r\\nM30\\r\\n", "--wait", "800", "--call",
                  "9999", "--hold"});
    rig.StartServer();
    // A program without a "DFS," name is kept under a fresh name; a missing called file
    // sends nothing; both are said.
    ASSERT_TRUE(WaitFor([&] {
        return QDir(rig.dir.filePath("save")).entryList(QDir::Files).size() == 1;
    })) << rig.Messages().constData();
    EXPECT_TRUE(QDir(rig.dir.filePath("save")).entryList(QDir::Files)[0].startsWith("Empfang-"));
    ASSERT_TRUE(rig.Said("Meldung: Datei nicht vorhanden / Neuer File eingeben"))
        << rig.Messages().constData();
    EXPECT_TRUE(rig.Messages().contains("Meldung: Log Datei fehlt"));
    EXPECT_TRUE(rig.Log().contains("Beginn "));
    ::kill(pid_t(rig.server.processId()), SIGINT);
    EXPECT_EQ(rig.Finished(), 0);
}

TEST(Service, ClearMessagesAndExitCodes) {
    {
        ServiceRig rig;
        rig.StartServer({"--help"});
        EXPECT_EQ(rig.Finished(), 0);
        EXPECT_TRUE(rig.server.readAllStandardOutput().contains("--service"));
    }
    {
        ServiceRig rig;
        rig.StartServer({"--version"});
        EXPECT_EQ(rig.Finished(), 0);
        EXPECT_TRUE(rig.server.readAllStandardOutput().startsWith("dnc-server "));
    }
    {
        ServiceRig rig;
        rig.StartServer({"--bogus"});
        EXPECT_EQ(rig.Finished(), 1);
        EXPECT_TRUE(rig.Messages().contains("--bogus"));
    }
    {
        // Config.ini missing: said, status 2, no hang.
        ServiceRig rig;
        rig.StartCnc({"--hold"});
        QFile::remove(rig.dir.filePath("Config.ini"));
        rig.StartServer();
        EXPECT_EQ(rig.Finished(), 2);
        EXPECT_TRUE(rig.Messages().contains("Couldn't find Config.ini"))
            << rig.Messages().constData();
    }
    {
        // The port is not there at start: the service waits for it and serves once it is.
        ServiceRig rig;
        WriteFile(rig.dir.filePath("2507.CNC"), kProgram);
        ASSERT_TRUE(QFile::link("/nonexistent/tty", rig.link));
        rig.StartServer();
        // Which port and which device, in the words the window uses too.
        ASSERT_TRUE(rig.Said("COM1 (/nonexistent/tty) ist nicht vorhanden: der Server wartet"))
            << rig.Messages().constData();
        QFile::remove(rig.link);
        rig.StartCnc({"--call", "2507", "--receive", rig.dir.filePath("answer.txt"), "--hold"});
        ASSERT_TRUE(WaitFor([&] { return ReadFile(rig.dir.filePath("answer.txt")) == kProgram; }))
            << rig.Messages().constData();
    }
}

// A user outside the dialout group: the service says why the port does not open and what
// to do, and keeps trying.
TEST(Service, AUserWithoutTheRightToTheDeviceGetsTheHint) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to start the server as another user";
    ServiceRig rig;
    TestPty line;
    ASSERT_EQ(::chmod(line.Path().constData(), 0600), 0);  // only root and its group may open it
    ASSERT_TRUE(line.LinkAs(rig.link));
    // The folder is the unprivileged user's to use.
    for (const QString& path : {rig.dir.path(), rig.dir.filePath("send"), rig.dir.filePath("save")})
        ::chmod(QFile::encodeName(path).constData(), 0777);
    ::chmod(QFile::encodeName(rig.dir.filePath("send/DNC.log")).constData(), 0666);
    for (const QString& path : {rig.dir.filePath(".config"), rig.dir.filePath(".config/dnc-server"),
                                rig.dir.filePath(".config/dnc-server/ports")})
        ::chmod(QFile::encodeName(path).constData(), 0755);
    rig.StartServer({"--service"}, "nobody");
    ASSERT_TRUE(rig.Said("Neuer Versuch jede Sekunde")) << rig.Messages().constData();
    const QByteArray said = rig.Messages();
    EXPECT_TRUE(said.contains("keine Berechtigung")) << said.constData();
    EXPECT_TRUE(said.contains("dialout")) << said.constData();
    ::kill(pid_t(rig.server.processId()), SIGTERM);
    EXPECT_EQ(rig.Finished(), 0);
}

// The virtual CNC ends and takes its link COM1 along: the server waits for its device and
// never opens the default device of COM1 in its place. The default, /dev/ttyS0, is a
// pseudo-terminal bind-mounted over it in a private mount namespace, so the machine's own
// device is not touched, and any open of it would show in the pseudo-terminal's settings.
TEST(Service, ALostDeviceIsNeverReplacedByTheDefault) {
    if (QProcess::execute("unshare", {"-m", "true"}) != 0 || !QFileInfo::exists("/dev/ttyS0"))
        GTEST_SKIP() << "needs a private mount namespace (root) and a /dev/ttyS0 to cover";
    TestPty console;
    termios found{};
    ASSERT_EQ(::tcgetattr(console.Master(), &found), 0);
    cfsetspeed(&found, B9600);
    found.c_cflag &= ~CRTSCTS;
    ASSERT_EQ(::tcsetattr(console.Master(), TCSANOW, &found), 0);

    ServiceRig rig;
    rig.StartCnc({"--hold"});
    const QByteArray device = QFile::symLinkTarget(rig.link).toLocal8Bit();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "DNC_NO_DEFAULT_PORTS"})
        env.remove(name);
    env.insert("XDG_CONFIG_HOME", rig.dir.filePath(".config"));
    rig.server.setProcessEnvironment(env);
    rig.server.setWorkingDirectory(rig.dir.path());
    rig.server.start("unshare",
                     {"-m", "sh", "-c", "mount --bind \"$1\" /dev/ttyS0 && exec \"$2\" --service",
                      "sh", console.Path(), DNC_SERVER});
    ASSERT_TRUE(rig.Said(" Port 1 ist ge")) << rig.Messages().constData();

    rig.cnc.terminate();  // the link goes with it
    ASSERT_TRUE(rig.cnc.waitForFinished(5000));
    ASSERT_TRUE(rig.Said("Ger\xc3\xa4t " + device + " f\xc3\xbcr COM1 nicht vorhanden"))
        << rig.Messages().constData();
    EXPECT_FALSE(rig.Said("wieder ge", 2500)) << rig.Messages().constData();
    termios left{};
    ASSERT_EQ(::tcgetattr(console.Master(), &left), 0);
    EXPECT_EQ(cfgetospeed(&left), speed_t(B9600)) << "the default device was opened";
    EXPECT_FALSE(left.c_cflag & CRTSCTS);
    ::kill(pid_t(rig.server.processId()), SIGTERM);
    EXPECT_EQ(rig.Finished(), 0);
}

// A machine that takes nothing for seconds: the journal says so when it begins and when it
// ends, not every second.
TEST(Service, AStallIsJournaledWhenItBeginsAndWhenItEnds) {
    ServiceRig rig;
    QByteArray program = "%\r\n";
    for (int k = 1; k <= 5000; ++k)
        program += "N" + QByteArray::number(k) + " G1 X100.125 Y7.5\r\n";
    program += "M30\r\n";
    WriteFile(rig.dir.filePath("4711.CNC"), program);
    // It stops reading for 6 s: the server waits once the 64 KiB a pseudo-terminal holds are
    // full (which may take seconds on a loaded machine).
    rig.StartCnc({"--call", "4711", "--receive", rig.dir.filePath("answer.txt"), "--stall-after",
                  "20000", "--stall-ms", "6000", "--hold"});
    rig.StartServer();
    QByteArray cncSaid;
    ASSERT_TRUE(WaitFor([&] {
        cncSaid += rig.cnc.readAll();
        return rig.Log().contains("4711.CNC gesendete PRG Nr = 1 ") &&
               cncSaid.contains("answer.txt\n");
    })) << rig.Messages().constData();
    EXPECT_EQ(ReadFile(rig.dir.filePath("answer.txt")), program);
    ASSERT_TRUE(rig.Said("Senden: Zeile 5002 von 5002")) << rig.Messages().constData();
    const QByteArray said = rig.Messages();
    EXPECT_EQ(said.count("Die Maschine nimmt keine Daten an"), 1) << said.constData();
    EXPECT_EQ(said.count(" keine Daten angenommen"), 1) << said.constData();
    EXPECT_EQ(said.count("wartet seit"), 0) << said.constData();
}

namespace {

// A case of what controls send, against the service (dwell 20 ms): nothing waits for an
// operator, and nothing is said as a box.
void AgainstTheService(const control_cases::Case& c) {
    ServiceRig rig;
    const QString dir = rig.dir.path();
    WriteFile(rig.dir.filePath("Config.ini"), ConfigIni(rig.dir, "20") + c.config);
    control_cases::WriteWorkFiles(dir);
    rig.StartCnc(c.args(dir) + QStringList{"--hold"});
    rig.StartServer();
    QByteArray said;
    const bool over = WaitFor(
        [&] {
            said += rig.cnc.readAll();
            return control_cases::Over(c, rig.Log(), said);
        },
        40000);
    ASSERT_TRUE(over) << rig.Log().constData() << said.constData() << rig.Messages().constData();
    ::kill(pid_t(rig.server.processId()), SIGTERM);
    EXPECT_EQ(rig.Finished(), 0);
    c.check(dir, rig.Log(), said);
    EXPECT_FALSE(rig.Messages().contains("Meldung: ")) << rig.Messages().constData();
    if (::testing::Test::HasFailure())
        ADD_FAILURE() << said.constData() << rig.Messages().constData();
}

}  // namespace

TEST(Service, IsoControlPunchesProgramsSubprogramsAndLfCalls) {
    AgainstTheService(control_cases::kIsoControl);
}

TEST(Service, CrOnlyCallGlitchTwoCallsCommentAndSubprogram) {
    AgainstTheService(control_cases::kCrLfControl);
}

TEST(Service, ANewCallDuringASendStopsItAndIsAnswered) {
    AgainstTheService(control_cases::kResetDuringASend);
}

TEST(Service, ADeviceLostMidProgramKeepsItWholeAsIncomplete) {
    AgainstTheService(control_cases::kDeviceLostMidProgram);
}

// Each control family: a program and a punch-all, named as punched, a call answered after each.
class ServiceFamily : public ::testing::TestWithParam<control_cases::Case (*)()> {};

TEST_P(ServiceFamily, ProgramsNamedAsPunchedAndCallsAnswered) { AgainstTheService(GetParam()()); }

INSTANTIATE_TEST_SUITE_P(Controls, ServiceFamily, ::testing::ValuesIn(control_cases::kFamilyCases),
                         control_cases::FamilyName);

// Sending as a real line takes it: a machine that stalls gets the program whole, the window's
// thread stays free during a send, an abort stops it at once, a lost device is no success,
// and every line waits its dwell after the previous one has left the port.
#include <QTimer>
#include <chrono>
#include <mutex>

#include "EngineRig.h"
#include "common/Ansi.h"
#include "common/ScriptedSeam.h"
#include "serial/Port.h"

using namespace engine_test;

namespace {

// A program of n lines of about 30 characters, ending with M30.
QByteArray Program(int n) {
    QByteArray p = "%\r\n";
    for (int k = 2; k < n; ++k) {
        p += "N" + QByteArray::number(k * 10) + " G1 X" + QByteArray::number(k % 500) + ".125 Y" +
             QByteArray::number(k % 300) + ".5 F800\r\n";
    }
    return p + "M30\r\n";
}

// Bytes of the first k lines of a program (line ends included).
qsizetype LinesBytes(const QByteArray& program, int k) {
    qsizetype at = 0;
    for (int i = 0; i < k && at < program.size(); ++i) at = program.indexOf('\n', at) + 1;
    return at;
}

}  // namespace

TEST(RealLineSend, StallInTheMiddleWaitsAndDeliversTheProgramWhole) {
    EngineRig rig;
    const QByteArray program = Program(3000);
    WriteFile(rig.Path("4711.CNC"), program);
    ScriptedSeam seam;
    // The machine stops reading for 6 s after 40,000 bytes (its buffer is full).
    rig.VirtualCnc({"--call", "4711", "--receive", rig.Path("answer.txt"), "--stall-after", "40000",
                    "--stall-ms", "6000", "--idle-ms", "15000"});
    EXPECT_EQ(rig.CncDone(40000), 0) << rig.CncOutput().constData();
    ASSERT_TRUE(WaitFor([&] { return !rig.engine->Busy(); }));
    EXPECT_EQ(ReadFile(rig.Path("answer.txt")), program);
    EXPECT_EQ(rig.Log().count(" gesendete PRG Nr = "), 1);
    EXPECT_TRUE(rig.view.StatusShown("Senden wartet seit"));
    // The trace says it once when it begins and once when it ends, with its length.
    EXPECT_EQ(rig.view.TraceCount("Die Maschine nimmt keine Daten an: Senden wartet (ab Zeile "), 1)
        << rig.view.trace.join('\n').constData();
    EXPECT_EQ(rig.view.TraceCount(" keine Daten angenommen"), 1);
    EXPECT_EQ(rig.view.TraceCount("wartet seit"), 0);
    ASSERT_FALSE(rig.view.progress.isEmpty());
    EXPECT_FALSE(rig.view.progress.last().Running);
    EXPECT_EQ(rig.view.progress.last().Line, 3000);
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
}

TEST(RealLineSend, TheEngineThreadStaysFreeAndAnAbortStopsTheSend) {
    EngineRig rig;
    const QByteArray program = Program(3000);
    WriteFile(rig.Path("4711.CNC"), program);
    ScriptedSeam seam;
    // 9600 bit/s: 960 bytes a second, the whole program would take well over a minute.
    rig.VirtualCnc({"--read-rate", "9600", "--call", "4711", "--receive", rig.Path("answer.txt"),
                    "--idle-ms", "2000"});
    ASSERT_TRUE(WaitFor([&] { return rig.engine->Sending(); }));
    bool fired = false, ranDuringSend = false;
    QTimer::singleShot(100, [&] {
        fired = true;
        ranDuringSend = rig.engine->Sending();
    });
    ASSERT_TRUE(WaitFor([&] {
        return fired && !rig.view.progress.isEmpty() && rig.view.progress.last().Line > 20;
    }));
    EXPECT_TRUE(ranDuringSend) << "events wait for nothing while a program goes out";

    const auto clicked = std::chrono::steady_clock::now();
    rig.engine->ButtonTxClearClick();
    EXPECT_TRUE(rig.view.StatusShown(Ansi::Lit("Übertragung abgebrochen, Sendepuffer gelöscht.")));
    ASSERT_TRUE(WaitFor([&] { return !rig.engine->Sending(); }, 1000)) << "not stopped within 1 s";
    const auto took = std::chrono::steady_clock::now() - clicked;
    EXPECT_LT(took, std::chrono::seconds(1));

    const TSendProgress last = rig.view.progress.last();
    EXPECT_FALSE(last.Running);
    EXPECT_LT(last.Line, 3000);
    const QByteArray said = "Senden abgebrochen nach Zeile " + QByteArray::number(last.Line) +
                            " von 3000 (Abbruch Senden)";
    EXPECT_EQ(rig.view.TraceCount(said), 1);
    EXPECT_EQ(rig.view.status.last(), said);
    ASSERT_TRUE(WaitFor([&] { return rig.Log().contains("abgebrochen"); }));
    EXPECT_FALSE(rig.Log().contains(" gesendete PRG Nr = "));
    EXPECT_TRUE(
        rig.Log().contains(Ansi::Lit(" nicht vollständig gesendet: abgebrochen nach Zeile ") +
                           QByteArray::number(last.Line) + " von 3000"));
    EXPECT_EQ(rig.engine->PrgCount, 0);

    // What reached the machine is the start of the program, and no line after the one the
    // abort came in.
    rig.CncDone();
    const QByteArray got = ReadFile(rig.Path("answer.txt"));
    EXPECT_TRUE(program.startsWith(got));
    EXPECT_LE(got.size(), LinesBytes(program, last.Line + 1));
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
}

TEST(RealLineSend, ADeviceLostDuringASendIsNotLoggedAsSent) {
    EngineRig rig;
    WriteFile(rig.Path("4711.CNC"), Program(3000));
    ScriptedSeam seam;
    rig.VirtualCnc({"--read-rate", "9600", "--call", "4711", "--receive", rig.Path("answer.txt"),
                    "--idle-ms", "5000"});
    ASSERT_TRUE(
        WaitFor([&] { return !rig.view.progress.isEmpty() && rig.view.progress.last().Line > 5; }));
    rig.KillCnc();  // the machine's end of the line goes away
    ASSERT_TRUE(WaitFor([&] { return !rig.engine->Sending() && !rig.view.lost.isEmpty(); }));
    EXPECT_TRUE(rig.view.status.last().contains(Ansi::Lit("(Verbindung zum Gerät verloren)")))
        << rig.view.status.last().constData();
    ASSERT_TRUE(WaitFor([&] { return rig.Log().contains("abgebrochen"); }));
    EXPECT_FALSE(rig.Log().contains(" gesendete PRG Nr = "));
    EXPECT_EQ(rig.engine->PrgCount, 0);
    EXPECT_FALSE(rig.serial->Active());
}

// A pseudo-terminal has no bit timing; the scripted device shows when the port was waited
// on for the bytes to leave.
TEST(RealLineSend, EachLineWaitsItsDwellAfterThePreviousOneHasLeftThePort) {
    using Clock = std::chrono::steady_clock;
    std::mutex mutex;
    std::vector<Clock::time_point> drains;
    auto device = std::make_shared<Port::TScriptedDevice>();
    device->Drain = [&](int, int msLeft) {
        EXPECT_GT(msLeft, 0) << "the wait is bounded by the write time-out";
        std::lock_guard lock(mutex);
        drains.push_back(Clock::now());
        return 0;
    };
    Settings s;
    s.timer = "40";
    EngineRig rig(s);
    rig.OwnLine();
    const QByteArray program = "%\r\nN10 G0\r\nN20 G1 X5\r\nN30 Y5\r\nM30\r\n";
    WriteFile(rig.Path("2507.CNC"), program);
    ScriptedSeam seam;
    Port::SetScriptedDeviceForTests(device);
    rig.MachineWrite("%Prg\r\nO2507\r\nM30\r\n");
    ASSERT_TRUE(WaitFor([&] { return rig.engine->PrgCount == 1 && !rig.engine->Busy(); }));
    Port::SetScriptedDeviceForTests(nullptr);
    EXPECT_EQ(rig.MachineRead(), program);
    std::lock_guard lock(mutex);
    ASSERT_EQ(drains.size(), 5u) << "one wait per line (the line with its CR LF)";
    for (size_t k = 1; k < drains.size(); ++k) {
        // From one line having left to the next one having left: at least the dwell.
        EXPECT_GE(drains[k] - drains[k - 1], std::chrono::milliseconds(40)) << "line " << k + 1;
    }
}

// Controls that count the characters of a block or take LF only get the line end set on line
// 16 of Config.ini, after every line and for Enter typed by hand; a value no control takes
// sends CR LF and is said once.
TEST(RealLineSend, EachLineEndGoesOutAsSet) {
    EngineRig rig;
    WriteFile(rig.Path("2507.CNC"), "%\r\nN1 X1\nM30\r\n");
    rig.OwnLine();
    const struct {
        const char* value;
        QByteArray end;
    } rows[] = {{"", "\r\n"}, {"CRLF", "\r\n"},       {"lf", "\n"},
                {"CR", "\r"}, {" LFCRCR ", "\n\r\r"}, {"CRCR", "\r\n"}};
    // What the machine got, once as much as expected came (or ten seconds passed).
    const auto got = [&](qsizetype size) {
        QByteArray bytes;
        WaitFor([&] {
            char buf[256];
            pollfd p{rig.MachineFd(), POLLIN, 0};
            const ssize_t n = ::poll(&p, 1, 0) > 0 ? ::read(rig.MachineFd(), buf, sizeof buf) : 0;
            if (n > 0) bytes.append(buf, n);
            return bytes.size() >= size;
        });
        return bytes;
    };
    for (const auto& row : rows) {
        ConfigValues[CfgSlot::LineEnd] = row.value;
        rig.MachineWrite("%Prg\r\nO2507\r\nM30\r\n");
        const QByteArray& e = row.end;
        const QByteArray program = "%" + e + "N1 X1" + e + "M30" + e;
        EXPECT_EQ(got(program.size()), program) << row.value;
        ASSERT_TRUE(WaitFor([&] { return !rig.engine->Busy(); }));
        ASSERT_TRUE(rig.engine->MemoTrmKeyPress('\r'));
        EXPECT_EQ(got(e.size()), e) << row.value;
    }
    EXPECT_EQ(rig.view.TraceCount("\"CRCR\" ist weder CRLF, LF, CR noch LFCRCR"), 1);
}

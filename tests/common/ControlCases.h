#pragma once
// What real controls put on the line, played by the virtual CNC paced at 4800 bit/s a byte at
// a time, and what the server must make of it: the same in the window and in the service.
// Each case gives the virtual CNC's arguments for a working folder, how many programs the
// server sends in it, and checks the folder, the log and what the virtual CNC said.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>

#include "tests/common/TestFiles.h"

namespace control_cases {

using test_files::ReadFile;
using test_files::WriteFile;

const QByteArray kProgram2507 = "%\r\nO2507 (FLANSCH)\r\nN10 G90 G54\r\nN20 G0 X0 Y0\r\nM30\r\n";
const QByteArray kProgram1001 = "%\r\nO1001 (DECKEL)\r\nN10 G0 X10\r\nM30\r\n";
const QByteArray kIso = "%\r\nO1234 (DFS,ISO1,)\r\nN10 G0 X0\r\nN20 G1 X5 F100\r\nM30\r\n";
const QByteArray kThread =
    "%\r\n(DFS,GEW,)\r\nN10 (GEWINDEBOHRER M30X2)\r\nN20 G84 Z-10 F2\r\nM30\r\n";
// The virtual CNC's subprogram, as it punches it with CR LF.
const QByteArray kSub =
    "%\r\n(DFS,SUB2,)\r\nO9001\r\nIF [#1 EQ 0] GOTO 99\r\n#100=#1*2\r\nM99\r\nN99 "
    "#100=0\r\nM99\r\n%";
const QByteArray kHead = "%\r\n(DFS,HALB,)\r\nN10 G1 X5\r\nN2";
const QByteArray kTail = "0 G1 Y5\r\nN30 G0 Z50\r\nM30\r\n";

inline QByteArray LongProgram() {
    QByteArray p = "%\r\n";
    for (int k = 1; k <= 3000; ++k) p += "N" + QByteArray::number(k) + " G1 X10 Y20 F300\r\n";
    return p + "M30\r\n";
}

// The programs a call may name, and the files the machine sends.
inline void WriteWorkFiles(const QString& dir) {
    WriteFile(dir + "/2507.CNC", kProgram2507);
    WriteFile(dir + "/1001.CNC", kProgram1001);
    WriteFile(dir + "/4711.CNC", LongProgram());
    WriteFile(dir + "/iso1.nc", kIso);
    WriteFile(dir + "/gew.nc", kThread);
}

inline QStringList Paced() { return {"--rate", "4800", "--chunk", "1", "--idle-ms", "5000"}; }

inline QStringList Saved(const QString& dir) {
    return QDir(dir + "/save").entryList(QDir::Files | QDir::Hidden);
}

// 1-3: an ISO control punches a program (leader, "%" LF, LF-only blocks, the tape end "%",
// DC4 and NULs), then calls with LF-only calls; a subprogram ends M99 and its tape end.
inline QStringList IsoArgs(const QString& dir) {
    return Paced() + QStringList{"--iso",     "--send",        dir + "/iso1.nc", "--call", "2507",
                                 "--receive", dir + "/a1.txt", "--subprogram",   "SUB1",   "--call",
                                 "1001",      "--receive",     dir + "/a2.txt"};
}
inline void CheckIso(const QString& dir, const QByteArray& log, const QByteArray&) {
    EXPECT_EQ(ReadFile(dir + "/save/ISO1.CNC"), QByteArray(kIso).replace("\r\n", "\n") + "%\r\n")
        << "the tape image: program through its tape end, then the save's CR LF";
    EXPECT_EQ(ReadFile(dir + "/a1.txt"), kProgram2507);
    EXPECT_EQ(ReadFile(dir + "/save/SUB1.CNC"),
              QByteArray(kSub).replace("SUB2", "SUB1").replace("\r\n", "\n") + "\r\n");
    EXPECT_EQ(ReadFile(dir + "/a2.txt"), kProgram1001);
    EXPECT_EQ(Saved(dir), (QStringList{"ISO1.CNC", "SUB1.CNC"}));
    EXPECT_EQ(log.count(" gesendete PRG Nr = "), 2) << log.constData();
    EXPECT_FALSE(QDir(dir + "/unvollstaendig").exists());
}

// 2-6 with CR LF: a CR-only call, a glitch byte and a call, two calls in one go, an end word
// in a comment, a subprogram and its "%" line followed by a call.
inline QStringList CrLfArgs(const QString& dir) {
    return Paced() +
           QStringList{
               "--send-text",  "%Prg\\rO2507\\rM30\\r",
               "--receive",    dir + "/a1.txt",
               "--glitch",     "ff",
               "--wait",       "300",
               "--call",       "1001",
               "--receive",    dir + "/a2.txt",
               "--send-text",  "%Prg\\r\\nO2507\\r\\nM30\\r\\n%Prg\\r\\nO1001\\r\\nM30\\r\\n",
               "--receive",    dir + "/a3.txt",
               "--receive",    dir + "/a4.txt",
               "--send",       dir + "/gew.nc",
               "--subprogram", "SUB2",
               "--call",       "2507",
               "--receive",    dir + "/a5.txt"};
}
inline void CheckCrLf(const QString& dir, const QByteArray& log, const QByteArray&) {
    EXPECT_EQ(ReadFile(dir + "/a1.txt"), kProgram2507) << "CR-only call";
    EXPECT_EQ(ReadFile(dir + "/a2.txt"), kProgram1001) << "call after a glitch byte";
    EXPECT_EQ(ReadFile(dir + "/a3.txt"), kProgram2507) << "first of two calls";
    EXPECT_EQ(ReadFile(dir + "/a4.txt"), kProgram1001) << "second of two calls";
    // The subprogram's "%" line came right after it: its tape end as well.
    EXPECT_EQ(ReadFile(dir + "/save/GEW.CNC"), kThread + "%\r\n") << "one program, not two";
    EXPECT_EQ(ReadFile(dir + "/save/SUB2.CNC"), kSub + "\r\n");
    EXPECT_EQ(ReadFile(dir + "/a5.txt"), kProgram2507) << "call after a subprogram";
    EXPECT_EQ(Saved(dir), (QStringList{"GEW.CNC", "SUB2.CNC"}));
    EXPECT_EQ(log.count(" gesendete PRG Nr = "), 5) << log.constData();
    EXPECT_FALSE(QDir(dir + "/unvollstaendig").exists());
}

// 7: the operator resets the control in the middle of a long send and calls another
// program. The control skips what comes before the new program's "%".
inline QStringList ResetArgs(const QString& dir) {
    return {"--read-rate", "9600",          "--reset-after", "1500",   "--call",
            "4711",        "--receive",     dir + "/a1.txt", "--call", "1001",
            "--receive",   dir + "/a2.txt", "--idle-ms",     "5000"};
}
inline void CheckReset(const QString& dir, const QByteArray& log, const QByteArray& cncSaid) {
    EXPECT_EQ(ReadFile(dir + "/a2.txt"), kProgram1001);
    EXPECT_TRUE(LongProgram().startsWith(ReadFile(dir + "/a1.txt")));
    const QRegularExpression cut(
        "4711.CNC nicht vollst\\x{e4}ndig gesendet: abgebrochen nach "
        "Zeile (\\d+) von 3002 \\(neuer Abruf\\)");
    const auto match = cut.match(QString::fromLatin1(log));
    ASSERT_TRUE(match.hasMatch()) << log.constData();
    EXPECT_LT(match.captured(1).toInt(), 1000) << "the rest of the old program was sent";
    EXPECT_TRUE(log.contains("1001.CNC gesendete PRG Nr = 1 ")) << log.constData();
    EXPECT_FALSE(log.contains("4711.CNC gesendete"));
    // What the machine got of the old program after its new call: what its own input queue
    // held (a pseudo-terminal keeps up to 4 KiB on the machine's side), not the rest.
    const QRegularExpression skipped("skipped (\\d+) bytes");
    const auto said = skipped.match(QString::fromLatin1(cncSaid));
    ASSERT_TRUE(said.hasMatch()) << cncSaid.constData();
    EXPECT_LE(said.captured(1).toInt(), 4096 + 64) << cncSaid.constData();
}

// 8: the device is lost in the middle of a program and comes back (the same adapter, under its
// by-id name); the rest follows, then a call.
inline QStringList LostArgs(const QString& dir) {
    return Paced() +
           QStringList{"--by-id",     "--await-open",
                       "--send-text", QString::fromLatin1(kHead).replace("\r\n", "\\r\\n"),
                       "--vanish",    "800",
                       "--send-text", QString::fromLatin1(kTail).replace("\r\n", "\\r\\n"),
                       "--call",      "2507",
                       "--receive",   dir + "/a1.txt"};
}
inline void CheckLost(const QString& dir, const QByteArray& log, const QByteArray&) {
    const QStringList kept = QDir(dir + "/unvollstaendig").entryList({"*-HALB.CNC"}, QDir::Files);
    ASSERT_EQ(kept.size(), 1) << log.constData();
    EXPECT_EQ(ReadFile(dir + "/unvollstaendig/" + kept[0]), kHead + kTail)
        << "before the loss and after it: one transmission, whole";
    EXPECT_TRUE(Saved(dir).isEmpty()) << Saved(dir).join(' ').toStdString();
    EXPECT_TRUE(log.contains(" unvollst\xE4ndig empfangen (Verbindung zum Ger\xE4t verloren)"))
        << log.constData();
    EXPECT_EQ(log.count(" PRG Nr = "), 1) << "the call only: " << log.constData();
    EXPECT_EQ(ReadFile(dir + "/a1.txt"), kProgram2507);
}

struct Case {
    QStringList (*args)(const QString& dir);
    int sent;          // programs the server sends: logged, ...
    const char* last;  // ...and the last answer the virtual CNC receives
    void (*check)(const QString& dir, const QByteArray& log, const QByteArray& cncSaid);
};
inline const Case kIsoControl{IsoArgs, 2, "a2.txt", CheckIso};
inline const Case kCrLfControl{CrLfArgs, 5, "a5.txt", CheckCrLf};
inline const Case kResetDuringASend{ResetArgs, 1, "a2.txt", CheckReset};
inline const Case kDeviceLostMidProgram{LostArgs, 1, "a1.txt", CheckLost};

// The case is over: the server logged its sends, and the virtual CNC said it has the last
// answer.
inline bool Over(const Case& c, const QByteArray& log, const QByteArray& cncSaid) {
    return log.count(" gesendete PRG Nr = ") >= c.sent &&
           cncSaid.contains(QByteArray("/") + c.last + "\n");
}

}  // namespace control_cases

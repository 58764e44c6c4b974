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

// Each control family punches one program, then a punch-all, paced at 9600 bit/s a byte at a
// time, and calls after each; the server names programs as their controls do, sends with the
// family's line end, and waits an hour before a reception ends without its end: every program
// must end by what its control wrote.
struct Family {
    const char* control;               // the virtual CNC's --control
    const char* lineEnd;               // Zeilenende=
    QByteArray eob;                    // ...as bytes
    QByteArray start;                  // before the first program of a punch (the tape start)
    QByteArray end, endAll;            // after the last program of a punch, of a punch-all
    QList<QByteArray> programs;        // as the control holds them; the first is punched alone
    QStringList files;                 // the names they are saved under
    QByteArray answer = kProgram2507;  // what the calls fetch, as the server holds it
};

inline const Family kFanuc{
    "fanuc",
    "LF",
    "\n",
    "%\n",
    "%",
    "%",
    {"O1234 (FLANSCH)\nN10 G90 G54\nN20 G0 X0 Y0\nM30\n", "O0001 (WELLE)\nN10 G0 X0\nM30\n",
     "O0002 (UP)\nN10 G1 X1\nM99\n", "<WELLE_LINKS_2>\nN10 G0 Z5\nM30\n"},
    {"1234.CNC", "0001.CNC", "0002.CNC", "WELLE_LINKS_2.CNC"}};
inline const Family kHaas{"haas",
                          "CRLF",
                          "\r\n",
                          "%\r\n",
                          "%",
                          "%",
                          {"O01234 (WELLE)\nN10 G0 X0\nM30\n", "O00001\nN10 G0 X0\nM30\n",
                           "O00002\nN10 X1\nM99\n", "O00003\nN10 Z5\nM30\n"},
                          {"01234.CNC", "00001.CNC", "00002.CNC", "00003.CNC"}};
inline const Family kHeidenhain{
    "heidenhain",
    "CRLF",
    "\r\n",
    "",
    "",
    "",
    {"0 BEGIN PGM 4711 MM\n1 BLK FORM 0.1 Z X+0 Y+0 Z-20\n2 L Z+100 R0 FMAX M30\n"
     "3 END PGM 4711 MM\n",
     "0 BEGIN PGM 4712 MM\n1 L X+0 M2\n2 END PGM 4712 MM\n",
     "%4713 G71 *\nN10 G00 Z+100 *\nN20 M30 *\nN99999999 %4713 G71 *\n"},
    {"4711.H", "4712.H", "4713.I"},
    "0 BEGIN PGM 2507 MM\r\n1 L Z+100 R0 FMAX M30\r\n2 END PGM 2507 MM\r\n"};
inline const Family kSinumerik{"sinumerik",
                               "LF",
                               "\n",
                               "",
                               "",
                               "",
                               {"%_N_TEIL1_MPF\n;$PATH=/_N_MPF_DIR\nN10 G0 X0\nM30\n",
                                "%_N_TEIL2_MPF\n;$PATH=/_N_MPF_DIR\nN10 G0 X0\nM30\n",
                                "%_N_UP1_SPF\n;$PATH=/_N_SPF_DIR\nN10 G1 X1\nM17\n",
                                "%_N_TEIL3_MPF\n;$PATH=/_N_MPF_DIR\nN10 G0 Z5\nM30\n"},
                               {"TEIL1.MPF", "TEIL2.MPF", "UP1.SPF", "TEIL3.MPF"}};
inline const Family kOkuma{"okuma",
                           "CRLF",
                           "\r\n",
                           "",
                           "%",
                           "%%",
                           {"$TEIL1.MIN%\nN1 G0 X0\nM02\n", "$TEIL2.MIN%\nN1 G0 X0\nM02\n",
                            "$UP1.SSB%\nN1 X1\nRTS\n", "$TEIL3.MIN%\nN1 G0 Z5\nM02\n"},
                           {"TEIL1.MIN", "TEIL2.MIN", "UP1.SSB", "TEIL3.MIN"}};

inline QByteArray WithEob(QByteArray text, const QByteArray& eob) {
    return text.replace("\r\n", "\n").replace("\n", eob);
}

template <const Family& F>
QStringList FamilyArgs(const QString& dir) {
    WriteFile(dir + "/2507.CNC", F.answer);
    QStringList all;
    for (qsizetype k = 0; k < F.programs.size(); ++k) {
        const QString file = dir + "/punch" + QString::number(k) + ".txt";
        WriteFile(file, F.programs[k]);
        if (k > 0) all << file;
    }
    return {"--control",   F.control,   "--rate",    "9600",          "--chunk",
            "1",           "--idle-ms", "5000",      "--punch",       dir + "/punch0.txt",
            "--call",      "2507",      "--receive", dir + "/a1.txt", "--punch-all",
            all.join(','), "--call",    "2507",      "--receive",     dir + "/a2.txt"};
}

template <const Family& F>
void CheckFamily(const QString& dir, const QByteArray& log, const QByteArray&) {
    const qsizetype n = F.programs.size();
    for (qsizetype k = 0; k < n; ++k) {
        // A punch: its first program keeps the tape start, its last the tape end.
        const bool first = k <= 1, last = k == 0 || k == n - 1;
        const QByteArray kept = (first ? F.start : QByteArray()) + WithEob(F.programs[k], F.eob) +
                                (k == 0 ? F.end
                                 : last ? F.endAll
                                        : QByteArray());
        EXPECT_EQ(ReadFile(dir + "/save/" + F.files[k]), kept + "\r\n") << F.control << " " << k;
    }
    QStringList files = F.files;
    files.sort();
    EXPECT_EQ(Saved(dir), files) << F.control;
    EXPECT_EQ(ReadFile(dir + "/a1.txt"), WithEob(F.answer, F.eob)) << F.control;
    EXPECT_EQ(ReadFile(dir + "/a2.txt"), WithEob(F.answer, F.eob)) << F.control;
    EXPECT_EQ(log.count(" gesendete PRG Nr = "), 2) << log.constData();
    EXPECT_FALSE(QDir(dir + "/unvollstaendig").exists());
}

struct Case {
    QStringList (*args)(const QString& dir);
    int sent;          // programs the server sends: logged, ...
    const char* last;  // ...and the last answer the virtual CNC receives
    void (*check)(const QString& dir, const QByteArray& log, const QByteArray& cncSaid);
    QByteArray config = {};  // Config.ini's lines after line 13
};

template <const Family& F>
Case FamilyCase() {
    return {FamilyArgs<F>, 2, "a2.txt", CheckFamily<F>,
            QByteArray("Ruhezeit=3600\r\nNamen=Programm\r\nZeilenende=") + F.lineEnd + "\r\n"};
}

inline Case (*const kFamilyCases[])() = {FamilyCase<kFanuc>, FamilyCase<kHaas>,
                                         FamilyCase<kHeidenhain>, FamilyCase<kSinumerik>,
                                         FamilyCase<kOkuma>};
inline const char* const kFamilyNames[] = {"Fanuc", "Haas", "Heidenhain", "Sinumerik", "Okuma"};

// A parameterised test's name: the family's.
inline std::string FamilyName(const ::testing::TestParamInfo<Case (*)()>& info) {
    return kFamilyNames[info.index];
}
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

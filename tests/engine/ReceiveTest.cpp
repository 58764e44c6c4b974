// Receiving as a real line delivers it: calls paced a byte at a time, line ends split from
// their end word, leaders of NULs, calls without a number, letter case of files copied from
// Windows. The engine alone, no window; the machine is the virtual CNC or a pty.
#include "EngineRig.h"
#include "common/Ansi.h"
#include "common/ScriptedSeam.h"
#include "engine/TransferRules.h"

using namespace engine_test;

namespace {

const QByteArray kProgram2507 = "%\r\nN10 G0 X0\r\nN20 G1 Y5 F100\r\nM30\r\n";
const QByteArray kCall2507 = "%Prg\r\nO2507\r\nM30\r\n";
const QByteArray kSaved = "%\r\n(DFS,P4711,)\r\nN10 G1 X10\r\nN20 M30\r\n";

// The dwell and bit rate pairs at which the line splits a transmission differently.
struct Pace {
    const char* dwell;
    const char* rate;
};
const Pace kPaces[] = {{"20", "4800"}, {"5", "2400"}, {"50", "4800"}};

QStringList Paced(const Pace& pace) { return {"--rate", pace.rate, "--chunk", "1"}; }

}  // namespace

TEST(RealLineReceive, PacedCallIsAnsweredWhateverTheSplit) {
    for (const Pace& pace : kPaces) {
        SCOPED_TRACE(std::string(pace.dwell) + " ms at " + pace.rate);
        Settings s;
        s.timer = pace.dwell;
        EngineRig rig(s);
        WriteFile(rig.Path("2507.CNC"), kProgram2507);
        ScriptedSeam seam;
        rig.VirtualCnc(Paced(pace) + QStringList{"--call", "2507", "--receive",
                                                 rig.Path("answer.txt"), "--idle-ms", "3000"});
        EXPECT_EQ(rig.CncDone(), 0);
        ASSERT_TRUE(WaitFor([&] { return rig.engine->PrgCount == 1 && !rig.engine->Busy(); }));
        EXPECT_EQ(ReadFile(rig.Path("answer.txt")), kProgram2507);
        EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
        EXPECT_TRUE(rig.Log().contains(" gesendete PRG Nr = 1 "));
    }
}

TEST(RealLineReceive, LineEndAfterTheEndWordAndLeadersBelongWhereTheyShould) {
    for (const Pace& pace : kPaces) {
        SCOPED_TRACE(std::string(pace.dwell) + " ms at " + pace.rate);
        Settings s;
        s.timer = pace.dwell;
        EngineRig rig(s);
        WriteFile(rig.Path("2507.CNC"), kProgram2507);
        WriteFile(rig.Path("p4711.nc"), kSaved);
        ScriptedSeam seam;
        // Each transmission: a leader of NULs, the text, a pause before the end word's CR LF.
        rig.VirtualCnc(Paced(pace) + QStringList{"--leader", "6", "--eol-pause", "120", "--send",
                                                 rig.Path("p4711.nc"), "--call", "2507",
                                                 "--receive", rig.Path("answer.txt"), "--idle-ms",
                                                 "3000"});
        EXPECT_EQ(rig.CncDone(), 0);
        ASSERT_TRUE(WaitFor([&] { return rig.engine->PrgCount == 2 && !rig.engine->Busy(); }));
        // The saved program is whole, its own last line end included, no leader.
        EXPECT_EQ(ReadFile(rig.Path("save/P4711.CNC")), kSaved + "\r\n");
        EXPECT_EQ(ReadFile(rig.Path("answer.txt")), kProgram2507);
        EXPECT_EQ(ReadFile("xxx.tmp"), kCall2507 + "\r\n");
        EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
    }
}

TEST(RealLineReceive, EndWordWithoutLineEndCompletesAfterAShortWait) {
    EngineRig rig;
    rig.OwnLine();
    WriteFile(rig.Path("2507.CNC"), kProgram2507);
    ScriptedSeam seam;
    rig.MachineWrite("%Prg\r\nO2507\r\nM30");  // nothing follows the end word
    ASSERT_TRUE(WaitFor([&] { return rig.engine->PrgCount == 1 && !rig.engine->Busy(); }));
    EXPECT_EQ(rig.MachineRead(), kProgram2507);
}

TEST(RealLineReceive, ACallSendsWhatItNamesOrNothing) {
    EngineRig rig;
    rig.OwnLine();
    WriteFile(rig.Path("2507.CNC"), kProgram2507);
    WriteFile(rig.Path("4444.CNC"), "%\r\nN1 (FALSCH)\r\nM30\r\n");
    ScriptedSeam seam;
    rig.MachineWrite(kCall2507);
    ASSERT_TRUE(WaitFor([&] { return rig.engine->PrgCount == 1 && !rig.engine->Busy(); }));
    EXPECT_EQ(rig.MachineRead(), kProgram2507);

    // After a served call, a call without a number: nothing goes out.
    rig.MachineWrite("%Prg\r\nN9999 ruf\r\nM30\r\n");
    EXPECT_EQ(rig.MachineRead(), "");
    EXPECT_EQ(rig.view.TraceCount("Abruf ohne Programmnummer"), 1);
    EXPECT_EQ(rig.view.status.last(), "Abruf ohne Programmnummer");

    // A saved program that holds the call identifier names nothing to send.
    const int banners = int(rig.view.banner.size());
    rig.MachineWrite("%\r\n(DFS,P1,)\r\nO4444 G0 X0 Y0\r\nM30\r\n");
    ASSERT_TRUE(WaitFor([&] { return rig.engine->PrgCount == 2 && !rig.engine->Busy(); }));
    EXPECT_TRUE(rig.engine->SendFileName.isEmpty());
    EXPECT_EQ(rig.view.banner.size(), banners + 2) << "only the two of saving";
    EXPECT_FALSE(rig.view.banner.mid(banners).join('|').contains("wird gesendet"));
    rig.MachineWrite("%Prg\r\nN9999 ruf\r\nM30\r\n");
    EXPECT_EQ(rig.MachineRead(), "");

    // Numbers that name no file are refused the same way.
    for (const QByteArray& call :
         {QByteArray("%Prg\r\nO25\r\nM30\r\n"), QByteArray("%Prg\r\nO../x\r\nM30\r\n"),
          QByteArray("%Prg\r\nO25 7\r\nM30\r\n")}) {
        rig.MachineWrite(call);
        EXPECT_EQ(rig.MachineRead(), "") << call.constData();
    }
    EXPECT_EQ(rig.view.TraceCount("Abruf ohne Programmnummer"), 5);
    EXPECT_EQ(rig.engine->PrgCount, 2);
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
}

// With "Namen=Programm": the "DFS," name first; a refused one gives way to the header's; a
// header name no file can take gives way to a fresh name.
TEST(RealLineReceive, NamesComeFromDfsThenFromTheHeader) {
    EngineRig rig;
    rig.OwnLine();
    ConfigValues[CfgSlot::Names] = "Programm";
    ScriptedSeam seam;
    const QByteArray programs[] = {"%\r\n(DFS,P1,)\r\nO1234\r\nM30\r\n",
                                   "%\r\n(DFS,../x,)\r\nO2345\r\nM30\r\n",
                                   "%\r\n<" + QByteArray(70, 'A') + ">\r\nM30\r\n"};
    for (int k = 0; k < 3; ++k) {
        rig.MachineWrite(programs[k]);
        ASSERT_TRUE(WaitFor([&] { return rig.engine->PrgCount == k + 1 && !rig.engine->Busy(); }));
    }
    QStringList saved = QDir(rig.Path("save")).entryList(QDir::Files);
    ASSERT_EQ(saved.size(), 3) << saved.join(' ').toStdString();
    EXPECT_EQ(ReadFile(rig.Path("save/P1.CNC")), programs[0] + "\r\n");
    EXPECT_EQ(ReadFile(rig.Path("save/2345.CNC")), programs[1] + "\r\n");
    saved.removeAll("P1.CNC");
    saved.removeAll("2345.CNC");
    EXPECT_TRUE(saved.value(0).startsWith("Empfang-")) << saved.value(0).toStdString();
    EXPECT_EQ(ReadFile(rig.Path("save/" + saved.value(0))), programs[2] + "\r\n");
    EXPECT_EQ(rig.view.TraceCount("Name nach DFS, abgelehnt ("), 1);
    EXPECT_EQ(rig.view.TraceCount("Programmname abgelehnt ("), 1);
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
}

TEST(RealLineReceive, ClearEditLeavesNothingThatSpoilsTheNextCall) {
    EngineRig rig;
    rig.OwnLine();
    WriteFile(rig.Path("2507.CNC"), kProgram2507);
    ScriptedSeam seam;
    rig.MachineWrite("%\r\nN1 G0");  // half a program, then the operator resets
    ASSERT_TRUE(WaitFor([&] { return rig.engine->RxEvents == 1 && !rig.engine->Busy(); }));
    rig.engine->SetNull();
    EXPECT_TRUE(rig.engine->RxBuffer.isEmpty());
    EXPECT_TRUE(rig.engine->RxPrg.isEmpty());
    rig.MachineWrite(kCall2507);
    ASSERT_TRUE(WaitFor([&] { return rig.engine->PrgCount == 1 && !rig.engine->Busy(); }));
    EXPECT_EQ(rig.MachineRead(), kProgram2507);
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
}

TEST(RealLineReceive, BadDwellInConfigDoesNotStopReading) {
    Settings s;
    s.timer = "zehn";
    EngineRig rig(s);
    rig.OwnLine();
    WriteFile(rig.Path("2507.CNC"), kProgram2507);
    ScriptedSeam seam;
    for (int round = 1; round <= 2; ++round) {
        rig.MachineWrite(kCall2507);
        ASSERT_TRUE(WaitFor([&] { return rig.engine->PrgCount == round && !rig.engine->Busy(); }));
        EXPECT_EQ(rig.MachineRead(), kProgram2507);
    }
    EXPECT_EQ(rig.view.TraceCount("\"zehn\" ist keine ganze Zahl ab 0"), 1);
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
}

TEST(RealLineReceive, LetterCaseOfFilesCopiedFromWindows) {
    struct Row {
        const char* name;
        QStringList files;
        bool served;
    } rows[] = {
        {"exact name", {"2507.CNC"}, true},
        {"extension in lower case", {"2507.cnc"}, true},
        {"two that differ only in case", {"2507.cnc", "2507.Cnc"}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EngineRig rig;
        rig.OwnLine();
        for (const QString& f : row.files) WriteFile(rig.Path(f), kProgram2507);
        ScriptedSeam seam;
        rig.MachineWrite(kCall2507);
        ASSERT_TRUE(WaitFor([&] { return rig.engine->RxEvents >= 1 && !rig.engine->Busy(); }));
        EXPECT_EQ(rig.MachineRead(), row.served ? kProgram2507 : QByteArray());
        EXPECT_EQ(rig.engine->PrgCount, row.served ? 1 : 0);
        if (!row.served) {
            ASSERT_EQ(seam.boxes.size(), 1);
            EXPECT_TRUE(
                seam.boxes[0].text.startsWith("Datei nicht vorhanden / Neuer File eingeben"));
            EXPECT_TRUE(seam.boxes[0].text.contains("2507.cnc") &&
                        seam.boxes[0].text.contains("2507.Cnc"))
                << seam.boxes[0].text.constData();
        }
    }

    // The test call file and the manual file likewise.
    EngineRig rig;
    rig.OwnLine();
    WriteFile(rig.Path("prg.cnc"), "%Prg\r\nO2507\r\nM30\r\n");
    WriteFile(rig.Path("2507.cnc"), kProgram2507);
    ScriptedSeam seam;
    rig.engine->ButtonTestClick(true);
    ASSERT_TRUE(WaitFor([&] { return !rig.engine->Busy(); }));
    EXPECT_EQ(rig.MachineRead(), kProgram2507);
    WriteFile(rig.Path("3333.CNC"), "N1\r\nN2\r\n");
    rig.engine->PrgLoad("3333.cnc");
    EXPECT_EQ(rig.engine->SendCount, 3);
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
}

TEST(RealLineReceive, SaveDialogStartsInTheSaveFolder) {
    EngineRig rig;
    rig.OwnLine();
    ScriptedSeam seam;
    const QByteArray unnamed = "%\r\nN10 G0 X0 Y0 Z0\r\nM30\r\n";
    rig.MachineWrite(unnamed);
    ASSERT_TRUE(WaitFor([&] { return rig.engine->PrgCount == 1 && !rig.engine->Busy(); }));
    ASSERT_EQ(seam.fileDialogs.size(), 1);
    EXPECT_EQ(QDir(seam.fileDialogs[0].directory), QDir(rig.Path("save")));

    ConfigValues[CfgSlot::Save].clear();  // no save folder: the working folder
    rig.MachineWrite(unnamed);
    ASSERT_TRUE(WaitFor([&] { return rig.engine->PrgCount == 2 && !rig.engine->Busy(); }));
    ASSERT_EQ(seam.fileDialogs.size(), 2);
    EXPECT_EQ(QDir(seam.fileDialogs[1].directory), QDir::current());
}

TEST(RealLineReceive, ATransmissionWithoutEndIsKeptWholeAfterTheQuietTime) {
    EngineRig rig;
    ConfigValues[CfgSlot::Quiet] = "1";
    rig.OwnLine();
    ScriptedSeam seam;
    const QByteArray part = "%\r\n(DFS,Q1,)\r\nN10 G0 X5";
    rig.MachineWrite(QByteArray(2, '\0') + part);
    ASSERT_TRUE(
        WaitFor([&] { return rig.Log().contains(Ansi::Lit(" unvollständig empfangen")); }, 5000));
    const QStringList kept = QDir(rig.Path("unvollstaendig")).entryList({"*-Q1.CNC"}, QDir::Files);
    ASSERT_EQ(kept.size(), 1);
    const QString path = rig.Path("unvollstaendig/" + kept[0]);
    EXPECT_EQ(ReadFile(path), part);
    EXPECT_TRUE(rig.Log().contains(QFile::encodeName(path) +
                                   Ansi::Lit(" unvollständig empfangen (nach 1 s ohne Daten)")));
    EXPECT_TRUE(rig.view.status.last().startsWith(Ansi::Lit("Empfang unvollständig")));
    EXPECT_TRUE(rig.view.status.last().contains(QFile::encodeName(path)));
    EXPECT_TRUE(QDir(rig.Path("save")).isEmpty()) << "never saved under its name";
    EXPECT_EQ(rig.engine->PrgCount, 0);

    // Without a letter or digit it is nothing to keep: dropped, and the trace says so.
    rig.MachineWrite("\x12--..\r\n");
    ASSERT_TRUE(WaitFor([&] { return rig.view.TraceCount("ohne Buchstaben oder Ziffern") == 1; }));
    EXPECT_EQ(QDir(rig.Path("unvollstaendig")).entryList(QDir::Files).size(), 1);

    // One longer than the receive limit goes on in xxx.tmp; at its quiet time the whole is
    // kept all the same, under the name its head gives.
    TransferRules::ReceiveLimit() = 64;
    QByteArray overlong = "%\r\n(DFS,LANG,)\r\n";
    for (int k = 1; k <= 20; ++k) overlong += "N" + QByteArray::number(k) + " G1 X10 Y20\r\n";
    rig.MachineWrite(overlong);
    ASSERT_TRUE(WaitFor(
        [&] {
            return QDir(rig.Path("unvollstaendig")).entryList({"*-LANG.CNC"}, QDir::Files).size() ==
                   1;
        },
        5000))
        << rig.Log().constData();
    TransferRules::ReceiveLimit() = 64 * 1024 * 1024;
    const QString lang =
        rig.Path("unvollstaendig/" +
                 QDir(rig.Path("unvollstaendig")).entryList({"*-LANG.CNC"}, QDir::Files)[0]);
    EXPECT_EQ(ReadFile(lang), overlong);

    // A quiet time that is no number of seconds: the default, said once.
    ConfigValues[CfgSlot::Quiet] = "bald";
    rig.MachineWrite("N1");
    rig.MachineWrite("N2");
    ASSERT_TRUE(WaitFor([&] { return rig.engine->RxBuffer == "N1N2"; }));
    EXPECT_EQ(rig.view.TraceCount("\"bald\" ist keine ganze Zahl von 1 bis 3600: es gelten 5 s"),
              1);
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
}

TEST(RealLineReceive, TestCallIsRefusedWhileAReceiveEventOrASendRuns) {
    // The dwell makes the send take seconds: a pseudo-terminal holds 64 KiB whatever the
    // machine reads, so without it the send could be over before anybody looked.
    Settings s;
    s.timer = "10";
    EngineRig rig(s);
    QByteArray program;
    for (int k = 1; k <= 300; ++k) program += "N" + QByteArray::number(k) + " G1 X1 Y2 Z3\r\n";
    program += "M30\r\n";
    WriteFile(rig.Path("4711.CNC"), program);
    WriteFile(rig.Path("Prg.CNC"), "%Prg\r\nO4711\r\nM30\r\n");
    ScriptedSeam seam;
    // The machine holds the line to the end: its going away would cut what it sent last.
    rig.VirtualCnc({"--call", "4711", "--receive", rig.Path("answer.txt"), "--idle-ms", "5000",
                    "--send-text", "%\\r\\nN10 ohne Namen\\r\\nM30\\r\\n", "--hold"});
    ASSERT_TRUE(WaitFor([&] { return rig.engine->Sending(); }));
    rig.engine->ButtonTestClick(true);
    EXPECT_TRUE(rig.view.StatusShown(Ansi::Lit("Eine Übertragung läuft")));
    // Inside a receive event that waits for its save dialog, the same.
    bool tried = false;
    seam.duringBox = [&] {
        if (std::exchange(tried, true)) return;
        EXPECT_TRUE(rig.engine->SerialHandlerRunning());
        rig.engine->ButtonTestClick(true);
    };
    ASSERT_TRUE(WaitFor([&] { return rig.engine->PrgCount == 2 && !rig.engine->Busy(); }))
        << rig.view.trace.join('\n').constData();
    EXPECT_TRUE(tried);
    EXPECT_EQ(ReadFile(rig.Path("answer.txt")), program) << "nothing else came in between";
    EXPECT_EQ(rig.view.TraceCount(Ansi::Lit("Eine Übertragung läuft")), 2)
        << rig.view.trace.join('\n').constData();
}

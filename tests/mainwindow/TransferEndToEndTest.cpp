// The machine on a real pseudo-terminal, the real main window offscreen: calls answered,
// programs saved, byte for byte on the line and on disk.
#include <QDir>
#include <QFileInfo>

#include "TransferTestSupport.h"
#include "common/Ansi.h"
#include "common/ScriptedSeam.h"
#include "config/ConfigValues.h"
#include "engine/TransferRules.h"
#include "mainwindow/Unit1.h"

using namespace transfer_test;

namespace {

const QByteArray kProgram2507 = "%\r\nN10 G0 X0\r\nM30\r\n";
const QByteArray kCall2507 = "%Prg\r\nO2507\r\nM30\r\n";  // 18 characters

QByteArray LogOf(const Workspace& ws) { return ReadFile(ws.Path("send/DNC.log")); }

QStringList SavedFiles(const Workspace& ws) {
    return QDir(ws.Path("save")).entryList(QDir::Files | QDir::Hidden);
}

QByteArray MemoText(QPlainTextEdit* memo) { return Ansi::FromQString(memo->toPlainText()); }

// The machine's bytes as separate reads: each part is handled before the next is written,
// and a transmission that ended is decided on (its tape end waited for) before this returns.
void SendInReads(Workspace& ws, TForm1& form, const QList<QByteArray>& parts) {
    for (const QByteArray& part : parts) {
        const int before = form.Engine->RxEvents;
        ws.CncWrite(part);
        ASSERT_TRUE(WaitFor([&] {
            return form.Engine->RxEvents > before && !form.Engine->SerialHandlerRunning();
        })) << "no receive event for "
            << part.constData();
    }
    ASSERT_TRUE(WaitFor(
        [&] { return !form.Engine->ReceiveSettling() && !form.Engine->SerialHandlerRunning(); }));
}

}  // namespace

TEST(TransferEndToEnd, CallIsAnsweredLineByLineAndLogged) {
    TransferConfig config;
    config.timer = "3";  // a real dwell before every read and every line
    Workspace ws(config);
    WriteFile(ws.Path("2507.CNC"), kProgram2507);
    ScriptedSeam seam;
    TForm1 form;
    ASSERT_TRUE(form.Serial1->Active()) << "port did not open";

    ws.CncWrite(kCall2507);
    ASSERT_TRUE(WaitFor([&] { return form.Engine->PrgCount == 1; }))
        << MemoText(form.MemoFile).constData() << "|" << seam.BoxTexts().join('|').constData()
        << form.Serial1->Active();
    ASSERT_TRUE(ws.WaitCncReceived(kProgram2507.size()))
        << MemoText(form.MemoFile).constData() << "|" << seam.BoxTexts().join('|').constData()
        << form.Serial1->Active();
    EXPECT_EQ(ws.CncReceived(), kProgram2507);

    const QByteArray path = QFile::encodeName(QFileInfo("2507.CNC").absoluteFilePath());
    EXPECT_TRUE(LogOf(ws).contains(path + " gesendete PRG Nr = 1 "));
    // The three lines went out, then the log entry was written.
    EXPECT_TRUE(
        MemoText(form.MemoFile).contains("Durchlauf  1\nDurchlauf  2\nDurchlauf  3\n Login "));
    EXPECT_EQ(form.StatusText(), "13 Zeichen gesendet, Zeichen Sitzung gesamt 13");
    EXPECT_EQ(ReadFile("xxx.tmp"), kCall2507 + "\r\n");
    EXPECT_TRUE(MemoText(form.MemoInfo).contains("Datei  2507.CNC  wird gesendet"));

    // A repeated call sends the program again and counts on.
    ws.CncWrite(kCall2507);
    ASSERT_TRUE(WaitFor([&] { return form.Engine->PrgCount == 2; }));
    ASSERT_TRUE(ws.WaitCncReceived(2 * kProgram2507.size()));
    EXPECT_EQ(ws.CncReceived(), kProgram2507 + kProgram2507);
    EXPECT_TRUE(LogOf(ws).contains(path + " gesendete PRG Nr = 2 "));
    EXPECT_EQ(form.StatusText(), "13 Zeichen gesendet, Zeichen Sitzung gesamt 26");
    EXPECT_TRUE(SavedFiles(ws).isEmpty());
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
}

TEST(TransferEndToEnd, ReceivedProgramsAreSavedByteForByte) {
    static const char kBinary[] = "%\r\nDFS,BIN,\r\nN1 \0\xFF\xE4\r\nM02\r\n";
    struct Row {
        const char* name;
        QList<QByteArray> reads;
        QString file;  // expected in save/
    } rows[] = {
        {"several reads",
         {"%\r\n(DFS,P4711,ABC)\r\nN10 G1 X10 ", "Y20\r\nN20 G1 X0\r\n", "N30 M30\r\n"},
         "P4711.CNC"},
        {"lower-case end word", {"%\r\n(dfs,low1,)\r\nn10 g0\r\nm30\r\n"}, "low1.CNC"},
        {"end word split over two reads", {"%\r\n(DFS,SPLIT,)\r\nN10\r\nM3", "0\r\n"}, "SPLIT.CNC"},
        {"the rest of the end word's line", {"%\r\nDFS,TAIL,\r\nM30 (ENDE)\r\n"}, "TAIL.CNC"},
        {"NUL and high bytes", {QByteArray(kBinary, sizeof kBinary - 1)}, "BIN.CNC"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Workspace ws;
        ScriptedSeam seam;
        TForm1 form;
        ASSERT_TRUE(form.Serial1->Active());
        SendInReads(ws, form, row.reads);
        QByteArray program;
        for (const QByteArray& r : row.reads) program += r;
        ASSERT_TRUE(WaitFor([&] { return form.Engine->PrgCount == 1; }));
        EXPECT_EQ(SavedFiles(ws), QStringList{row.file});
        EXPECT_EQ(ReadFile(ws.Path("save/" + row.file)), program + "\r\n");
        EXPECT_EQ(ReadFile("xxx.tmp"), program + "\r\n");
        EXPECT_TRUE(
            LogOf(ws).contains(ws.SaveDir() + "/" + QFile::encodeName(row.file) + " PRG Nr = 1 "));
        EXPECT_TRUE(form.Engine->RxBuffer.isEmpty());
        const QByteArray trace = MemoText(form.MemoFile);
        EXPECT_EQ(trace.count("Datei ist zum Speichern"), 2) << trace.constData();
        EXPECT_TRUE(trace.contains("Datei Name ist zum Speichern in " +
                                   QFile::encodeName(row.file) + "  Zeichen" +
                                   QByteArray::number(program.size())));
        EXPECT_TRUE(trace.contains("\n " + QByteArray::number(row.reads.last().size()) + " - "));
        EXPECT_TRUE(ws.CncReceived().isEmpty()) << "a saved program gets no answer";
        EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
    }
}

TEST(TransferEndToEnd, FifteenCharacterThreshold) {
    // A call is only a call when it holds more than 15 characters, each line end counted as
    // CR LF whatever the control sent.
    struct Row {
        const char* name;
        QByteArray call;
        bool served;
    } rows[] = {
        {"16 characters", "%Prg\r\nO2507\r\nM30", true},
        {"LF only", "%Prg\nO2507\nM30\n", true},
        {"14 characters", "%PrgO2507M30\r\n", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Workspace ws;
        WriteFile(ws.Path("2507.CNC"), kProgram2507);
        ScriptedSeam seam;  // the save dialog is cancelled
        TForm1 form;
        ASSERT_TRUE(form.Serial1->Active());
        SendInReads(ws, form, {row.call});
        ASSERT_TRUE(WaitFor([&] { return form.Engine->PrgCount == 1; }));
        if (row.served) {
            ASSERT_TRUE(ws.WaitCncReceived(kProgram2507.size()));
            EXPECT_EQ(ws.CncReceived(), kProgram2507);
            EXPECT_TRUE(SavedFiles(ws).isEmpty());
        } else {
            // Saved as a program: no "DFS,", so the user is asked; cancelled, it still keeps
            // the text under a fresh name.
            EXPECT_TRUE(ws.CncReceived().isEmpty());
            ASSERT_EQ(seam.boxes.size(), 1);
            EXPECT_EQ(seam.boxes[0].text,
                      "File konnte nicht decodiert werden.Neuer File zum Speichern eingeben");
            ASSERT_EQ(SavedFiles(ws).size(), 1);
            EXPECT_TRUE(SavedFiles(ws)[0].startsWith("Empfang-"));
            EXPECT_EQ(ReadFile(ws.Path("save/" + SavedFiles(ws)[0])), row.call + "\r\n");
        }
    }
}

TEST(TransferEndToEnd, GarbageAndHostileNamesSaveNothingOutsideTheSaveFolder) {
    Workspace ws;
    ScriptedSeam seam;
    TForm1 form;
    ASSERT_TRUE(form.Serial1->Active());

    // Control characters before the first printable one are a leader: not part of the
    // transmission, not saved.
    static const char kLeader[] = "\x01\x02\0\0\r\n";
    const QByteArray leader(kLeader, sizeof kLeader - 1);
    const QByteArray text("garbage\xFF DFS,G1, M30\r\n");
    SendInReads(ws, form, {leader + text});
    ASSERT_TRUE(WaitFor([&] { return form.Engine->PrgCount == 1; }));
    EXPECT_EQ(ReadFile("xxx.tmp"), text + "\r\n");
    EXPECT_EQ(SavedFiles(ws), QStringList{"G1.CNC"});
    EXPECT_EQ(ReadFile(ws.Path("save/G1.CNC")), text + "\r\n");

    for (const QByteArray& name :
         {QByteArray("../../x"), QByteArray("a/b"), QByteArray(".."), QByteArray("")}) {
        SCOPED_TRACE(name.constData());
        const int count = form.Engine->PrgCount;
        const QByteArray hostile = "%\r\n(DFS," + name + ",)\r\nN10\r\nM30\r\n";
        SendInReads(ws, form, {hostile});
        ASSERT_TRUE(WaitFor([&] { return form.Engine->PrgCount == count + 1; }));
        EXPECT_TRUE(MemoText(form.MemoFile).contains("abgelehnt"));
    }
    // All four kept inside save/, under fresh names (an empty name would be hidden, and
    // every such program would replace the last).
    QStringList saved = SavedFiles(ws);
    saved.removeOne("G1.CNC");
    ASSERT_EQ(saved.size(), 4);
    for (const QString& f : saved) EXPECT_TRUE(f.startsWith("Empfang-")) << f.toStdString();
    EXPECT_FALSE(QFileInfo::exists(ws.Path("x.CNC")));
    EXPECT_FALSE(QFileInfo::exists(ws.Path("../x.CNC")));
    EXPECT_FALSE(QFileInfo::exists(ws.Path("save/a")));
    EXPECT_TRUE(ws.CncReceived().isEmpty());

    // A call whose number would leave the folder is refused, and the last program is not
    // sent in its place.
    WriteFile(ws.Path("2507.CNC"), kProgram2507);
    ws.CncWrite(kCall2507);
    ASSERT_TRUE(WaitFor(
        [&] { return ws.CncReceived().size() == kProgram2507.size() && !form.Engine->Busy(); }));
    const int served = form.Engine->PrgCount;
    SendInReads(ws, form, {"%Prg\r\nO../x\r\nM30\r\n"});
    EXPECT_TRUE(MemoText(form.MemoFile).contains("Programmnummer abgelehnt"));
    EXPECT_EQ(form.Engine->PrgCount, served);
    EXPECT_EQ(ws.CncReceived(), kProgram2507);
}

TEST(TransferEndToEnd, ProgramIdentifier3333SavesNothingButServesCalls) {
    TransferConfig config;
    config.prgAk = "3333";
    Workspace ws(config);
    WriteFile(ws.Path("2507.CNC"), kProgram2507);
    ScriptedSeam seam;
    TForm1 form;
    ASSERT_TRUE(form.Serial1->Active());
    SendInReads(ws, form, {"%\r\n(DFS,P1,)\r\nN10 G0 X0 Y0\r\nM30\r\n"});
    EXPECT_TRUE(SavedFiles(ws).isEmpty());
    EXPECT_EQ(form.Engine->PrgCount, 0);

    ws.CncWrite("%3333\r\nO2507\r\nM30\r\n");
    ASSERT_TRUE(WaitFor([&] { return form.Engine->PrgCount == 1; }));
    ASSERT_TRUE(ws.WaitCncReceived(kProgram2507.size()));
    EXPECT_EQ(ws.CncReceived(), kProgram2507);
}

TEST(TransferEndToEnd, ShortReadsWithoutEndNeitherResendNorSave) {
    Workspace ws;
    WriteFile(ws.Path("2507.CNC"), kProgram2507);
    ScriptedSeam seam;
    TForm1 form;
    ASSERT_TRUE(form.Serial1->Active());
    ws.CncWrite(kCall2507);
    ASSERT_TRUE(WaitFor([&] { return form.Engine->PrgCount == 1; }));
    ASSERT_TRUE(ws.WaitCncReceived(kProgram2507.size()));
    // The machine starts a program: a short first piece, then a single byte.
    SendInReads(ws, form, {"%\r\nDFS,", "Q"});
    EXPECT_EQ(form.Engine->PrgCount, 1);
    EXPECT_EQ(ws.CncReceived(), kProgram2507);
    EXPECT_TRUE(SavedFiles(ws).isEmpty());
    SendInReads(ws, form, {"Q1,\r\nM30\r\n"});
    ASSERT_TRUE(WaitFor([&] { return form.Engine->PrgCount == 2; }));
    EXPECT_EQ(ReadFile(ws.Path("save/QQ1.CNC")), "%\r\nDFS,QQ1,\r\nM30\r\n\r\n");
}

TEST(TransferEndToEnd, MissingFileBadDwellAndOverlongTransmissionAreReported) {
    Workspace ws;
    ScriptedSeam seam;
    TForm1 form;
    ASSERT_TRUE(form.Serial1->Active());

    // A served call leaves its program in the send table.
    WriteFile(ws.Path("2507.CNC"), kProgram2507);
    ws.CncWrite(kCall2507);
    ASSERT_TRUE(WaitFor([&] { return form.Engine->PrgCount == 1; }));
    ASSERT_TRUE(ws.WaitCncReceived(kProgram2507.size()));

    // The called program does not exist: the box, nothing sent (not the last program in its
    // place), nothing logged. Cancel offers a file that names the log to view.
    seam.boxAnswers = {Modal::Answer::Cancel};
    seam.fileAnswers = {ws.Path("other.log")};
    form.MemoFile->clear();
    ws.CncWrite("%Prg\r\nO9999\r\nM30\r\n");
    ASSERT_TRUE(WaitFor([&] { return seam.boxes.size() == 1; }));
    EXPECT_EQ(seam.boxes[0].text, "Datei nicht vorhanden / Neuer File eingeben");
    EXPECT_EQ(seam.boxes[0].kind, Modal::BoxKind::Error);
    EXPECT_TRUE(seam.boxes[0].withCancel);
    ASSERT_TRUE(WaitFor([&] { return !form.Engine->SerialHandlerRunning(); }));
    EXPECT_EQ(form.Engine->LogFileName, QFile::encodeName(ws.Path("other.log")));
    EXPECT_EQ(form.Engine->PrgCount, 1);
    EXPECT_FALSE(MemoText(form.MemoFile).contains("Durchlauf")) << "the last program was sent";
    EXPECT_EQ(ws.CncReceived(), kProgram2507);

    // A dwell that is not a number does not stop reading: the event reads without a dwell
    // and the trace says so once.
    ConfigValues[CfgSlot::Timer] = "zehn";
    seam.boxes.clear();
    SendInReads(ws, form, {"N1", QByteArray(10, 'Z')});
    form.FlushMemos();
    EXPECT_EQ(MemoText(form.MemoFile).count("\"zehn\""), 1) << MemoText(form.MemoFile).constData();
    EXPECT_TRUE(seam.boxes.isEmpty());
    EXPECT_EQ(form.Engine->RxBuffer, "N1" + QByteArray(10, 'Z'));
    EXPECT_TRUE(form.Serial1->Active());
    ConfigValues[CfgSlot::Timer] = "0";

    // No end word, past the limit: kept in xxx.tmp, never saved, memory stays small.
    TransferRules::ReceiveLimit() = 40;
    SendInReads(ws, form, {QByteArray(30, 'A'), QByteArray(30, 'B'), "CCC M30\r\n"});
    TransferRules::ReceiveLimit() = 64 * 1024 * 1024;
    EXPECT_EQ(ReadFile("xxx.tmp"), "N1" + QByteArray(10, 'Z') + QByteArray(30, 'A') +
                                       QByteArray(30, 'B') + "CCC M30\r\n\r\n");
    EXPECT_TRUE(form.Engine->RxBuffer.isEmpty());
    EXPECT_TRUE(SavedFiles(ws).isEmpty());
    EXPECT_TRUE(MemoText(form.MemoFile).contains("xxx.tmp"));
}

TEST(TransferEndToEnd, LongProgramIsSentWhole) {
    Workspace ws;
    QByteArray program;
    QByteArray expected;
    for (int k = 1; k <= 5000; ++k) {
        const QByteArray line = "N" + QByteArray::number(k * 10) + " G1 X" + QByteArray::number(k);
        program += line + "\n";  // LF only on disk: the line goes out with CR LF
        expected += line + "\r\n";
    }
    WriteFile(ws.Path("4711.CNC"), program);
    ScriptedSeam seam;
    TForm1 form;
    ASSERT_TRUE(form.Serial1->Active());
    ws.CncWrite("%Prg\r\nO4711\r\nM30\r\n");
    ASSERT_TRUE(WaitFor([&] { return form.Engine->PrgCount == 1; }));
    ASSERT_TRUE(ws.WaitCncReceived(expected.size()));
    EXPECT_EQ(ws.CncReceived(), expected);
    EXPECT_EQ(form.Engine->SendCount, 5001);
    form.FlushMemos();
    EXPECT_TRUE(MemoText(form.MemoFile).contains("Durchlauf  5000\n"));
}

TEST(TransferEndToEnd, TestButtonPlaysTheCallFromTheTestFile) {
    Workspace ws;
    WriteFile(ws.Path("2507.CNC"), kProgram2507);
    // The last line that holds the call identifier decides.
    WriteFile(ws.Path("Prg.CNC"), "%Prg\r\nO1111\r\nO2507\r\nM30\r\n");
    ScriptedSeam seam;
    TForm1 form;
    ASSERT_TRUE(form.Serial1->Active());
    ASSERT_TRUE(form.ButtonTest->isEnabled());
    form.ButtonTest->click();
    ASSERT_TRUE(ws.WaitCncReceived(kProgram2507.size()));
    ASSERT_TRUE(WaitFor([&] { return !form.Engine->Busy(); }));
    EXPECT_EQ(ws.CncReceived(), kProgram2507);
    EXPECT_EQ(form.Engine->SendFileName, "2507.CNC");
    EXPECT_TRUE(MemoText(form.MemoRec).contains("Programm NR.2507.CNC zur CNC gesendet"));
    EXPECT_EQ(form.Engine->PrgCount, 0) << "the test is not logged";

    // A test call for a missing program: the box, and the loaded program is not sent in its
    // place.
    WriteFile(ws.Path("Prg.CNC"), "%Prg\r\nO9999\r\nM30\r\n");
    form.ButtonTest->click();
    ASSERT_EQ(seam.boxes.size(), 1);
    EXPECT_EQ(seam.boxes[0].text, "Datei nicht vorhanden / Neuer File eingeben");
    EXPECT_FALSE(MemoText(form.MemoFile).contains("Durchlauf")) << "the last program was sent";

    // Manual mode sends what the table holds; without the test file nothing happens.
    form.RBManu->setChecked(true);
    form.ButtonTest->click();
    ASSERT_TRUE(ws.WaitCncReceived(2 * kProgram2507.size()));
    ASSERT_TRUE(WaitFor([&] { return !form.Engine->Busy(); }));
    QFile::remove(ws.Path("Prg.CNC"));
    form.ButtonTest->click();
    ASSERT_EQ(seam.boxes.size(), 2);
    EXPECT_EQ(seam.boxes[1].text, "Datei nicht vorhanden / Neuer File eingeben");
    EXPECT_EQ(ws.CncReceived(), kProgram2507 + kProgram2507);
}

TEST(TransferEndToEnd, UnwritableSaveFolderLosesNothing) {
    Workspace ws;
    ScriptedSeam seam;
    TForm1 form;
    ASSERT_TRUE(form.Serial1->Active());
    ASSERT_TRUE(QDir(ws.Path("save")).removeRecursively());
    const QByteArray program = "%\r\n(DFS,P4711,)\r\nN10 G0 X0\r\nM30\r\n";
    SendInReads(ws, form, {program});
    ASSERT_EQ(seam.boxes.size(), 1);
    EXPECT_TRUE(seam.boxes[0].text.contains(ws.SaveDir() + "/P4711.CNC"))
        << seam.boxes[0].text.constData();
    EXPECT_TRUE(seam.boxes[0].text.contains("No such file or directory"));
    EXPECT_EQ(form.Engine->RxPrg, program);
    EXPECT_EQ(form.Engine->PrgCount, 0);
    EXPECT_EQ(ReadFile("xxx.tmp"), program + "\r\n");
    EXPECT_FALSE(LogOf(ws).contains("PRG Nr"));

    // "xxx.tmp" that cannot be written does not stop the save.
    ASSERT_TRUE(QDir().mkpath(ws.Path("save")));
    QFile::remove("xxx.tmp");
    ASSERT_TRUE(QDir().mkpath("xxx.tmp"));  // a folder in its place
    seam.boxes.clear();
    SendInReads(ws, form, {program});
    ASSERT_TRUE(WaitFor([&] { return form.Engine->PrgCount == 1; }));
    EXPECT_EQ(ReadFile(ws.Path("save/P4711.CNC")), program + "\r\n");
    EXPECT_TRUE(MemoText(form.MemoFile).contains("xxx.tmp"));
}

TEST(TransferEndToEnd, SaveDialogAndReplacedFile) {
    Workspace ws;
    ScriptedSeam seam;
    TForm1 form;
    ASSERT_TRUE(form.Serial1->Active());

    // No "DFS,": the user names the file in the dialog.
    const QString chosen = ws.Path("save/chosen.CNC");
    seam.fileAnswers = {chosen};
    const QByteArray unnamed = "%\r\nN10 G0 X0 Y0 Z0\r\nM30\r\n";
    SendInReads(ws, form, {unnamed});
    ASSERT_TRUE(WaitFor([&] { return form.Engine->PrgCount == 1; }));
    ASSERT_EQ(seam.fileDialogs.size(), 1);
    EXPECT_TRUE(seam.fileDialogs[0].save);
    EXPECT_EQ(ReadFile(chosen), unnamed + "\r\n");
    EXPECT_TRUE(LogOf(ws).contains(QFile::encodeName(chosen) + " PRG Nr = 1 "));

    // The same program twice: the second save says so, then replaces the file.
    seam.boxes.clear();
    const QByteArray first = "%\r\n(DFS,TWICE,)\r\nN10 X1\r\nM30\r\n";
    const QByteArray second = "%\r\n(DFS,TWICE,)\r\nN10 X2\r\nM30\r\n";
    SendInReads(ws, form, {first});
    SendInReads(ws, form, {second});
    ASSERT_TRUE(WaitFor([&] { return form.Engine->PrgCount == 3; }));
    ASSERT_EQ(seam.boxes.size(), 1);
    EXPECT_EQ(seam.boxes[0].text, "Neuer File zum Speichern schon vorhanden");
    EXPECT_EQ(seam.boxes[0].kind, Modal::BoxKind::Information);
    EXPECT_EQ(ReadFile(ws.Path("save/TWICE.CNC")), second + "\r\n");
    EXPECT_EQ(QDir(ws.Path("save")).entryList(QDir::Files).size(), 2) << "a temporary was left";
    // The program replaced is kept as a version beside it, and the trace says where.
    const QStringList versions = QDir(ws.Path("save/.versionen")).entryList(QDir::Files);
    ASSERT_EQ(versions.size(), 1);
    EXPECT_EQ(ReadFile(ws.Path("save/.versionen/" + versions[0])), first + "\r\n");
    EXPECT_TRUE(MemoText(form.MemoFile)
                    .contains("Neuer File zum Speichern schon vorhanden: die vorherige Fassung "
                              "ist gesichert als " +
                              QFile::encodeName(ws.Path("save/.versionen/" + versions[0]))));
}

TEST(TransferEndToEnd, AFailedSaveKeepsTheProgramAndTheErrorBoxSaysWhere) {
    Workspace ws;
    ASSERT_TRUE(QDir(ws.Path("save")).removeRecursively());
    ScriptedSeam seam;
    TForm1 form;
    ASSERT_TRUE(form.Serial1->Active());
    // Said at start, before a program needs the folder.
    EXPECT_TRUE(
        MemoText(form.MemoFile).contains("Speicherort ablegen \"" + ws.SaveDir() + "\" fehlt"))
        << MemoText(form.MemoFile).constData();

    const QByteArray program = "%\r\n(DFS,P4711,)\r\nN10 G1 X10\r\nM30\r\n";
    SendInReads(ws, form, {program});
    ASSERT_TRUE(WaitFor([&] { return !seam.boxes.isEmpty(); }));
    const QStringList kept = QDir(ws.Path("nicht-gespeichert")).entryList(QDir::Files);
    ASSERT_EQ(kept.size(), 1);
    EXPECT_TRUE(kept[0].endsWith("-P4711.CNC"));
    const QString keptPath = ws.Path("nicht-gespeichert/" + kept[0]);
    EXPECT_EQ(ReadFile(keptPath), program + "\r\n");
    EXPECT_EQ(seam.boxes[0].kind, Modal::BoxKind::Error);
    EXPECT_TRUE(seam.boxes[0].text.contains(QFile::encodeName(keptPath)))
        << seam.boxes[0].text.constData();
    EXPECT_TRUE(form.StatusText().startsWith("Programm nicht gespeichert, gesichert als "));
    EXPECT_TRUE(MemoText(form.MemoFile).contains("P4711.CNC nicht gespeichert ("));
    EXPECT_TRUE(LogOf(ws).contains("P4711.CNC nicht gespeichert (")) << LogOf(ws).constData();
    EXPECT_EQ(form.Engine->PrgCount, 0) << "nothing was saved";
}

// Manual operation on a real pseudo-terminal: loading, sending, typing, purging, Clear/Edit.
#include <gtest/gtest.h>

#include <QApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTest>
#include <QTextBlock>
#include <QThread>

#include "common/Ansi.h"
#include "common/ScriptedSeam.h"
#include "config/ConfigValues.h"
#include "mainwindow/ManualPty.h"
#include "mainwindow/Unit1.h"
#include "serial/Serial.h"

namespace {

constexpr int kPort = 7;

class ManualSend : public ::testing::Test {
  protected:
    QTemporaryDir work;
    QString oldDir = QDir::currentPath();
    ManualPty line{kPort};
    ScriptedSeam seam;
    std::unique_ptr<TForm1> window;

    void SetUp() override {
        ASSERT_TRUE(line.ok);
        QDir::setCurrent(work.path());
        ConfigValues[CfgSlot::Send] = Ansi::FromQString(work.path());
        ConfigValues[CfgSlot::ComPort] = "9600,N,8,1";
        ResetPortProbeForTests();
        ProbePorts(kPort);
        window = std::make_unique<TForm1>(nullptr, false);
        window->Serial1->SetCOMPort(kPort);
        window->Verbinde();
        ASSERT_TRUE(window->Serial1->Active()) << window->Serial1->LastOpenError().constData();
    }
    void TearDown() override {
        window.reset();
        QDir::setCurrent(oldDir);
    }

    QString Write(const char* name, const QByteArray& bytes) {
        QFile f(work.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return f.fileName();
    }
    // Everything the window has put on the line since the last call.
    QByteArray Wire() {
        const QByteArray marker = "\x02<end>\x03";
        window->Serial1->WriteString(marker);
        return line.Until(marker);
    }
    QByteArray Memo(QPlainTextEdit* memo) const { return Ansi::FromQString(memo->toPlainText()); }
    void LoadByDialog(const char* name, const QByteArray& bytes) {
        seam.fileAnswers << Write(name, bytes);
        window->CNCLoad->trigger();
        window->FlushMemos();
    }
    // A send runs beside the window; this waits for its end.
    void Send() {
        window->ButtonSendBlock->click();
        WaitUntilSent();
    }
    void WaitUntilSent() {
        for (int i = 0; i < 15000 && window->Engine->Sending(); ++i) QTest::qWait(2);
        ASSERT_FALSE(window->Engine->Sending());
        window->FlushMemos();
    }
};

TEST_F(ManualSend, SendsTheLoadedLinesEachWithCrLfAndCountsAcrossSends) {
    LoadByDialog("long.cnc", "%\r\nN10 G0 X0\r\nN20 G1 X5\r\nM30\r\n");
    Send();
    EXPECT_EQ(Wire(), "%\r\nN10 G0 X0\r\nN20 G1 X5\r\nM30\r\n");

    LoadByDialog("short.cnc", "%\nM30\n");  // LF only, and shorter than the earlier load
    EXPECT_EQ(window->StatusText(),
              "Datei  " + Ansi::FromQString(work.filePath("short.cnc")) + " eingelesen");
    EXPECT_EQ(TForm1::TextColor(window->MemoFile), QColor(255, 0, 0));
    Send();
    EXPECT_EQ(Wire(), "%\r\nM30\r\n");
    // The file as loaded, then the lines the send appended, all blue.
    EXPECT_EQ(Memo(window->MemoFile), "%\nM30\n%\nM30");
    EXPECT_EQ(TForm1::TextColor(window->MemoFile), QColor(0, 0, 255));
    EXPECT_EQ(Memo(window->MemoTrm), "%\nM30");
    EXPECT_TRUE(window->MemoTrm->textCursor().atEnd());
    EXPECT_EQ(window->StatusText(), "26 Zeichen gesendet");  // 1+9+9+3, then 1+3: no CR LF

    window->Engine->RxBuffer = "abc";
    window->Button3->click();                 // Clear/Edit keeps the program, restarts the count
    EXPECT_EQ(window->Engine->RxBuffer, "");  // empty: the next call must begin afresh
    EXPECT_EQ(Memo(window->MemoFile), "");
    EXPECT_EQ(window->StatusText(), " Parameter der Schnittstelle   9600,N,8,1");
    Send();
    EXPECT_EQ(Wire(), "%\r\nM30\r\n");
    EXPECT_EQ(window->Engine->TxCount, 4);
}

TEST_F(ManualSend, LoadModesCancelAndMissingFile) {
    window->CNCLoad->trigger();  // cancelled before any file was chosen: nothing happens
    EXPECT_EQ(window->Engine->SendCount, 0);
    EXPECT_TRUE(seam.boxes.isEmpty());
    ASSERT_EQ(seam.fileDialogs.size(), 1);
    EXPECT_EQ(QDir(seam.fileDialogs[0].directory), QDir(work.path()));

    LoadByDialog("p.cnc", "N1\r\n");
    Write("p.cnc", "N1\r\nN2\r\n");
    window->CNCLoad->trigger();  // cancelled: the same file is read again
    Send();
    EXPECT_EQ(Wire(), "N1\r\nN2\r\n");

    window->RBManu->click();
    EXPECT_FALSE(window->RBAuto->isChecked());
    window->SetStatusText("vorher");
    window->CNCLoad->trigger();  // no 3333.cnc in the current directory
    ASSERT_EQ(seam.boxes.size(), 1);
    EXPECT_TRUE(seam.boxes[0].text.contains("3333.cnc")) << seam.boxes[0].text.constData();
    EXPECT_EQ(window->StatusText(), "vorher");
    Send();
    EXPECT_EQ(Wire(), "N1\r\nN2\r\n");  // the earlier program stays

    Write("3333.cnc", "%\r\nM02\r\n");
    window->CNCLoad->trigger();
    EXPECT_EQ(seam.fileDialogs.size(), 3);  // no dialog in "Manuel"
    EXPECT_EQ(window->StatusText(), "Datei  3333.cnc eingelesen");
    EXPECT_EQ(window->Engine->SendCount, 3);
}

TEST_F(ManualSend, EmptyFileAndCtrlZ) {
    window->MemoFile->setPlainText("before");
    LoadByDialog("empty.cnc", "");
    EXPECT_EQ(window->Engine->SendCount, 1);
    EXPECT_EQ(Memo(window->MemoFile), "before");
    Send();
    EXPECT_EQ(window->StatusText(), "0 Zeichen gesendet");

    const QByteArray z(1, 26);
    LoadByDialog("z.cnc", "N1 X" + z + "junk\r\nN2\r\n" + z + "N3\r\n");
    Send();
    EXPECT_EQ(Wire(), "N1 X\r\nN2\r\n");
    EXPECT_TRUE(Memo(window->MemoFile).contains("N3"));  // the memo shows the whole file
}

TEST_F(ManualSend, TypedCharactersGoOutAsTheirBytes) {
    QTest::keyClick(window->MemoTrm, 'A');
    EXPECT_EQ(window->StatusText(), "1 Zeichen gesendet");
    QTest::keyClick(window->MemoTrm, Qt::Key_Return);
    EXPECT_EQ(window->StatusText(), "3 Zeichen gesendet");
    QKeyEvent umlaut(QEvent::KeyPress, Qt::Key_Adiaeresis, Qt::NoModifier, QString::fromUtf8("ä"));
    QApplication::sendEvent(window->MemoTrm, &umlaut);
    // Delete edits the memo; X11 gives it the text DEL, which must not reach the machine.
    QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier, QString(QChar(127)));
    QApplication::sendEvent(window->MemoTrm, &del);
    EXPECT_EQ(Wire(), "A\r\n\xE4");
    EXPECT_EQ(window->Engine->TxCount, 4);
    // A dead key's character comes as committed input, not as a key press.
    QInputMethodEvent composed;
    composed.setCommitString(QString::fromUtf8("^ê"));
    QApplication::sendEvent(window->MemoTrm, &composed);
    EXPECT_EQ(Wire(), "^\xEA");
    EXPECT_EQ(window->StatusText(), "6 Zeichen gesendet");
    EXPECT_EQ(window->MemoTrm->toPlainText(), QString::fromUtf8("A\nä^ê"));

    QTest::mouseClick(window->MemoTrm->viewport(), Qt::RightButton);
    EXPECT_FALSE(window->MemoFile->isHidden());  // only a left click hides it
    QTest::mouseClick(window->MemoTrm->viewport(), Qt::LeftButton);
    EXPECT_TRUE(window->MemoFile->isHidden());
}

TEST_F(ManualSend, PurgeButtonsOnAnOpenAndAClosedPort) {
    line.Send("waiting");
    for (int i = 0; i < 2000 && window->Serial1->InQueueCount() < 7; ++i) QThread::msleep(2);
    ASSERT_EQ(window->Serial1->InQueueCount(), 7);
    window->ButtonRxClear->click();
    EXPECT_EQ(window->StatusText(), Ansi::Lit("Übertragung abgebrochen, Empfangspuffer gelöscht."));
    EXPECT_EQ(window->Serial1->InQueueCount(), 0);
    window->ButtonTxClear->click();
    EXPECT_EQ(window->StatusText(), Ansi::Lit("Übertragung abgebrochen, Sendepuffer gelöscht."));

    window->Verbinde();  // closed
    window->ButtonTxClearClick();
    EXPECT_EQ(window->StatusText(), Ansi::Lit("Fehler beim löschen des Sendepuffers!"));
    window->ButtonRxClearClick();
    EXPECT_EQ(window->StatusText(), Ansi::Lit("Fehler beim löschen des Empfangspuffers!"));
}

TEST_F(ManualSend, SendOnAClosedPortEndsAtOnceAndSaysSo) {
    LoadByDialog("p.cnc", "N1\r\nN2\r\n");
    window->Verbinde();
    window->Engine->NCBlockSend();
    WaitUntilSent();
    EXPECT_EQ(window->Engine->TxCount, 0);
    EXPECT_TRUE(seam.boxes.isEmpty()) << "nobody may have to click a box at the machine";
    const QByteArray said = "Senden abgebrochen nach Zeile 0 von 2 (Schnittstelle geschlossen)";
    EXPECT_EQ(window->StatusText(), said);
    EXPECT_TRUE(Memo(window->MemoFile).contains(said));
    EXPECT_EQ(Memo(window->MemoTrm), "");
}

TEST_F(ManualSend, HundredThousandLinesLoadAndGoOutWhole) {
    QByteArray content;
    for (int i = 1; i <= 100000; ++i) content += "N" + QByteArray::number(i) + " G1 X10\r\n";
    LoadByDialog("big.cnc", content);
    Send();
    EXPECT_EQ(Wire(), content);
    EXPECT_EQ(window->MemoTrm->document()->lastBlock().text(), "N100000 G1 X10");
}

// A receive event waiting in a message box (here the save box of a program without a
// "DFS," name): what the operator clicks meanwhile must not put bytes on the line or swap
// the program.
TEST_F(ManualSend, NothingManualRunsInsideARunningReceiveEvent) {
    ConfigValues[CfgSlot::Log] = "dnc";
    ConfigValues[CfgSlot::Save] = Ansi::FromQString(work.path());
    ConfigValues[CfgSlot::PrgAK] = "Prg";
    ConfigValues[CfgSlot::Ext] = "CNC";
    Write("dnc.log", "");
    LoadByDialog("p.cnc", "N1\r\n");
    bool tried = false;
    seam.duringBox = [&] {
        if (std::exchange(tried, true)) return;
        window->Engine->NCBlockSend();
        window->PrgLoad();
        char key = 'X';
        window->MemoTrmKeyPress(key);
        EXPECT_EQ(key, 0);
    };
    line.Send("%\r\nN10 ohne Namen\r\nM30\r\n");
    for (int i = 0; i < 5000 && !(tried && !window->Engine->Busy()); ++i) QTest::qWait(2);
    ASSERT_TRUE(tried);
    EXPECT_EQ(seam.boxes.size(), 1);        // only the save box: no send was tried
    EXPECT_EQ(seam.fileDialogs.size(), 2);  // the load before and the save dialog
    EXPECT_EQ(Wire(), "");
    window->FlushMemos();
    EXPECT_TRUE(Memo(window->MemoFile).contains(Ansi::Lit("Eine Übertragung läuft")));
}

// A call that arrives as a manual send starts is answered after it: the machine gets the
// manual program whole, then the called program whole.
TEST_F(ManualSend, CallArrivingAtTheSendIsAnsweredAfterIt) {
    ConfigValues[CfgSlot::Ext] = "CNC";
    ConfigValues[CfgSlot::AK] = "O";
    ConfigValues[CfgSlot::PrgAK] = "Prg";
    ConfigValues[CfgSlot::Timer] = "0";
    ConfigValues[CfgSlot::Log] = "dnc";
    ConfigValues[CfgSlot::Save] = Ansi::FromQString(work.path());
    Write("dnc.log", "");
    Write("2507.CNC", "%\r\nN10 G0\r\nM30\r\n");
    LoadByDialog("m.cnc", "N1 X1\r\nN2 X2\r\n");

    line.Send("%Prg\r\nO2507\r\nM30\r\n");
    for (int i = 0; i < 2000 && window->Serial1->InQueueCount() < 18; ++i) QThread::msleep(2);
    ASSERT_EQ(window->Serial1->InQueueCount(), 18);
    Send();
    for (int i = 0; i < 5000 && window->Engine->PrgCount == 0; ++i) QTest::qWait(2);
    ASSERT_EQ(window->Engine->PrgCount, 1) << seam.BoxTexts().join('|').constData();
    EXPECT_EQ(Wire(), "N1 X1\r\nN2 X2\r\n%\r\nN10 G0\r\nM30\r\n");
}

}  // namespace

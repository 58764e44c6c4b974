// Manual operation on a real pseudo-terminal: loading, sending, typing, purging, Clear/Edit.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTest>
#include <QTextBlock>

#include "common/Ansi.h"
#include "common/ScriptedSeam.h"
#include "config/ConfigValues.h"
#include "engine/ManualPty.h"
#include "engine/Unit1.h"
#include "serial/Serial.h"

namespace {

constexpr int kPort = 7;
const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);

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

    QString Path(const char* name) const { return work.filePath(name); }
    void Write(const char* name, const QByteArray& bytes) {
        QFile f(Path(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    // Everything the window has put on the line since the last call.
    QByteArray Wire() {
        const QByteArray marker = "\x02<end>\x03";
        window->Serial1->WriteString(marker);
        return line.Until(marker);
    }
    QByteArray Memo(QPlainTextEdit* memo) const { return Ansi::FromQString(memo->toPlainText()); }
    // Loads a file through the dialog ("Auto").
    void LoadByDialog(const char* name) {
        seam.fileAnswers << Path(name);
        window->CNCLoad->trigger();
    }
};

TEST_F(ManualSend, SendsExactlyTheLoadedLinesEachWithCrLf) {
    Write("long.cnc", "%\r\nN10 G0 X0\r\nN20 G1 X5\r\nN30 G1 Y5\r\nM30\r\n");
    Write("short.cnc", "%\nM30\n");  // LF only: still CR LF on the wire
    LoadByDialog("long.cnc");
    window->ButtonSendBlock->click();
    EXPECT_EQ(Wire(), "%\r\nN10 G0 X0\r\nN20 G1 X5\r\nN30 G1 Y5\r\nM30\r\n");

    LoadByDialog("short.cnc");
    EXPECT_EQ(window->StatusText(),
              "Datei  " + Ansi::FromQString(Path("short.cnc")) + " eingelesen");
    EXPECT_EQ(Memo(window->MemoFile), "%\nM30");
    EXPECT_EQ(TForm1::TextColor(window->MemoFile), kRed);
    EXPECT_EQ(Memo(window->MemoTrm), "");

    window->ButtonSendBlock->click();
    EXPECT_EQ(Wire(), "%\r\nM30\r\n");
    // The file as loaded, then the lines the send appended, all blue.
    EXPECT_EQ(Memo(window->MemoFile), "%\nM30\n%\nM30");
    EXPECT_EQ(TForm1::TextColor(window->MemoFile), kBlue);
    EXPECT_EQ(Memo(window->MemoTrm), "%\nM30");
    // Counted over both sends, without the CR LFs: 1+9+9+9+3 and 1+3.
    EXPECT_EQ(window->TxCount, 35);
    EXPECT_EQ(window->StatusText(), "35 Zeichen gesendet");
}

TEST_F(ManualSend, ClearEditResetsTheCountButKeepsTheProgram) {
    Write("p.cnc", "%\r\nN10 X1\r\nM30\r\n");
    LoadByDialog("p.cnc");
    window->ButtonSendBlock->click();
    window->RxBuffer = "abc";
    window->RxEvents = 3;
    window->SignalToggle = true;
    window->Button3->click();
    EXPECT_EQ(window->TxCount, 0);
    EXPECT_EQ(window->RxEvents, 0);
    EXPECT_FALSE(window->SignalToggle);
    EXPECT_EQ(window->RxBuffer, " ");
    EXPECT_EQ(window->RxPrg, " ");
    EXPECT_EQ(Memo(window->MemoFile), "");
    EXPECT_EQ(window->StatusText(), " Parameter der Schnittstelle   9600,N,8,1");

    window->ButtonSendBlock->click();
    EXPECT_EQ(Wire(), "%\r\nN10 X1\r\nM30\r\n%\r\nN10 X1\r\nM30\r\n");
    EXPECT_EQ(window->TxCount, 1 + 6 + 3);
}

TEST_F(ManualSend, ManuelLoadsTheFixedFileWithoutADialog) {
    Write("3333.cnc", "%\r\nM02\r\n");
    window->RBManu->click();
    EXPECT_TRUE(window->RBManu->isChecked());
    EXPECT_FALSE(window->RBAuto->isChecked());
    window->CNCLoad->trigger();
    EXPECT_TRUE(seam.fileDialogs.isEmpty());
    EXPECT_EQ(window->LoadFileName, "3333.cnc");
    EXPECT_EQ(window->StatusText(), "Datei  3333.cnc eingelesen");
    EXPECT_EQ(window->SendCount, 3);

    // Auto always asks, opened on the send folder.
    window->RBAuto->click();
    window->CNCLoad->trigger();
    ASSERT_EQ(seam.fileDialogs.size(), 1);
    EXPECT_EQ(QDir(seam.fileDialogs[0].directory), QDir(work.path()));
}

TEST_F(ManualSend, CancelledDialogReloadsTheEarlierFileOrDoesNothing) {
    window->CNCLoad->trigger();  // cancelled before any file was chosen
    EXPECT_EQ(window->SendCount, 0);
    EXPECT_TRUE(seam.boxes.isEmpty());
    window->ButtonSendBlock->click();

    Write("p.cnc", "N1\r\n");
    LoadByDialog("p.cnc");
    Write("p.cnc", "N1\r\nN2\r\n");  // changed on disk since
    window->CNCLoad->trigger();      // cancelled: the same file again
    EXPECT_EQ(window->SendCount, 3);
    window->ButtonSendBlock->click();
    EXPECT_EQ(Wire(), "N1\r\nN2\r\n");
}

TEST_F(ManualSend, MissingFileIsReportedAndTheProgramStays) {
    Write("p.cnc", "N1\r\n");
    LoadByDialog("p.cnc");
    window->SetStatusText("vorher");
    window->RBManu->click();  // no 3333.cnc here
    window->CNCLoad->trigger();
    ASSERT_EQ(seam.boxes.size(), 1);
    EXPECT_EQ(seam.boxes[0].kind, Modal::BoxKind::Error);
    EXPECT_TRUE(seam.boxes[0].text.contains("3333.cnc")) << seam.boxes[0].text.constData();
    EXPECT_EQ(window->StatusText(), "vorher");
    window->ButtonSendBlock->click();
    EXPECT_EQ(Wire(), "N1\r\n");
}

TEST_F(ManualSend, EmptyFileAndCtrlZ) {
    Write("empty.cnc", "");
    Write("z.cnc", "N1 X" + QByteArray(1, 26) + "junk\r\nN2\r\n" + QByteArray(1, 26) + "N3\r\n");
    window->MemoFile->setPlainText("before");
    LoadByDialog("empty.cnc");
    EXPECT_EQ(window->SendCount, 1);
    EXPECT_EQ(Memo(window->MemoFile), "before");
    EXPECT_EQ(window->StatusText(),
              "Datei  " + Ansi::FromQString(Path("empty.cnc")) + " eingelesen");
    window->ButtonSendBlock->click();
    EXPECT_EQ(Wire(), "");
    EXPECT_EQ(window->StatusText(), "0 Zeichen gesendet");

    LoadByDialog("z.cnc");
    window->ButtonSendBlock->click();
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
    EXPECT_EQ(Wire(), "A\r\n\xE4");
    EXPECT_EQ(window->TxCount, 4);
    EXPECT_EQ(window->MemoTrm->toPlainText(), QString::fromUtf8("A\nä"));
}

TEST_F(ManualSend, PurgeButtonsOnAnOpenAndAClosedPort) {
    line.Send("waiting");
    for (int i = 0; i < 500 && window->Serial1->InQueueCount() < 7; ++i) QTest::qWait(2);
    ASSERT_EQ(window->Serial1->InQueueCount(), 7);
    window->TxCount = 5;
    window->ButtonRxClear->click();
    EXPECT_EQ(window->StatusText(), Ansi::Lit("Übertragung abgebrochen, Empfangspuffer gelöscht."));
    EXPECT_EQ(window->Serial1->InQueueCount(), 0);
    window->ButtonTxClear->click();
    EXPECT_EQ(window->StatusText(), Ansi::Lit("Übertragung abgebrochen, Sendepuffer gelöscht."));
    EXPECT_EQ(window->TxCount, 5);

    window->Verbinde();  // closed
    ASSERT_FALSE(window->Serial1->Active());
    window->ButtonTxClearClick();
    EXPECT_EQ(window->StatusText(), Ansi::Lit("Fehler beim löschen des Sendepuffers!"));
    window->ButtonRxClearClick();
    EXPECT_EQ(window->StatusText(), Ansi::Lit("Fehler beim löschen des Empfangspuffers!"));
}

TEST_F(ManualSend, SendOnAClosedPortStopsAtTheFirstLineAndSaysSo) {
    Write("p.cnc", "N1\r\nN2\r\n");
    LoadByDialog("p.cnc");
    window->Verbinde();
    ASSERT_FALSE(window->Serial1->Active());
    window->NCBlockSend();
    EXPECT_EQ(window->TxCount, 0);
    ASSERT_EQ(seam.boxes.size(), 1);
    EXPECT_EQ(seam.boxes[0].kind, Modal::BoxKind::Error);
    EXPECT_TRUE(seam.boxes[0].text.startsWith("Senden abgebrochen: Zeile 1 von 2"))
        << seam.boxes[0].text.constData();
    EXPECT_EQ(Memo(window->MemoTrm), "");
}

TEST_F(ManualSend, HundredThousandLinesLoadAndGoOutWhole) {
    QByteArray content;
    for (int i = 1; i <= 100000; ++i) content += "N" + QByteArray::number(i) + " G1 X10\r\n";
    Write("big.cnc", content);
    LoadByDialog("big.cnc");
    EXPECT_EQ(window->SendCount, 100001);
    window->ButtonSendBlock->click();
    EXPECT_EQ(Wire(), content);
    EXPECT_EQ(window->MemoTrm->blockCount(), 100000);
    EXPECT_EQ(window->MemoTrm->document()->lastBlock().text(), "N100000 G1 X10");
    EXPECT_EQ(window->TxCount, content.size() - 2 * 100000);
}

TEST_F(ManualSend, MemoTrmClickHidesMemoFileAndALoadShowsItAgain) {
    Write("p.cnc", "N1\r\n");
    QTest::mouseClick(window->MemoTrm->viewport(), Qt::LeftButton);
    EXPECT_TRUE(window->MemoFile->isHidden());
    LoadByDialog("p.cnc");
    EXPECT_FALSE(window->MemoFile->isHidden());
}

}  // namespace

namespace {

// A serial handler that waits in a message box (here the lost-device report): what the
// operator clicks meanwhile must not put bytes on the line or swap the program.
TEST_F(ManualSend, NothingManualRunsInsideARunningReceiveEvent) {
    Write("p.cnc", "N1\r\n");
    LoadByDialog("p.cnc");
    seam.fileAnswers << Path("p.cnc");
    bool tried = false;
    seam.duringBox = [&] {
        if (tried) return;
        tried = true;
        EXPECT_TRUE(window->SerialHandlerRunning());
        window->NCBlockSend();
        window->PrgLoad();
        char key = 'X';
        window->MemoTrmKeyPress(key);
        EXPECT_EQ(key, 0);
    };
    window->DeliverSerialEvent(TForm1::SerialEvent::Lost);
    ASSERT_TRUE(tried);
    EXPECT_EQ(window->TxCount, 0);
    EXPECT_EQ(seam.fileDialogs.size(), 1);  // only the load before
    EXPECT_TRUE(Memo(window->MemoFile).contains(Ansi::Lit("Eine Übertragung läuft")));
}

}  // namespace

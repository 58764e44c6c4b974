// The virtual CNC tool against the real window: a call answered and a program saved, as in
// the demo. DNC_SCREENSHOT=<file.png> keeps a picture of the window afterwards.
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPixmap>
#include <QProcess>
#include <QProgressBar>
#include <memory>

#include "TransferTestSupport.h"
#include "common/ControlCases.h"
#include "common/ScriptedSeam.h"
#include "mainwindow/Unit1.h"
#include "options/Unit3.h"

using namespace transfer_test;

TEST(TransferVirtualCnc, CallAnsweredAndProgramSaved) {
    Workspace ws(TransferConfig(), /*ownLine=*/false);
    const QByteArray program2507 = "%\r\nO2507 (FLANSCH)\r\nN10 G90 G54\r\nN20 G0 X0 Y0\r\nM30\r\n";
    WriteFile(ws.Path("2507.CNC"), program2507);
    const QByteArray sent = "%\r\n(DFS,P4711,)\r\nN10 G1 X10 F300\r\nN20 Y10\r\nN30 M30\r\n";
    WriteFile(ws.Path("p4711.nc"), sent);

    QProcess cnc;
    cnc.start(VIRTUAL_CNC, {"--link", ws.LinkPath(), "--rate", "38400", "--chunk", "64", "--call",
                            "2507", "--receive", ws.Path("answer.txt"), "--idle-ms", "5000",
                            "--wait", "200", "--send", ws.Path("p4711.nc"), "--hold"});
    ASSERT_TRUE(cnc.waitForStarted());
    ASSERT_TRUE(WaitFor([&] { return QFileInfo(ws.LinkPath()).exists(); }));
    Workspace::Probe();

    ScriptedSeam seam;
    TForm1 form;
    TForm3 options;  // saving shows the save folder in the options window
    Form3 = &options;
    form.show();
    ASSERT_TRUE(form.Serial1->Active());
    ASSERT_TRUE(WaitFor([&] {
        return form.Engine->PrgCount == 2 && !form.Engine->SerialHandlerRunning();
    })) << "PrgCount "
        << form.Engine->PrgCount;

    EXPECT_EQ(ReadFile(ws.Path("answer.txt")), program2507);
    EXPECT_EQ(ReadFile(ws.Path("save/P4711.CNC")), sent + "\r\n");
    EXPECT_TRUE(seam.boxes.isEmpty());
    EXPECT_EQ(options.TMemSave->toPlainText(), QString::fromLocal8Bit(ws.SaveDir()));
    Form3 = nullptr;
    const QByteArray screenshot = qgetenv("DNC_SCREENSHOT");
    if (!screenshot.isEmpty()) form.grab().save(QString::fromLocal8Bit(screenshot));

    cnc.terminate();
    ASSERT_TRUE(cnc.waitForFinished(10000));
    EXPECT_EQ(cnc.exitCode(), 0);
}

// A machine that reads at 9600 bit/s: the window shows how far the send is, and its
// "Abbruch Senden" button stops it.
TEST(TransferVirtualCnc, SlowMachineWindowShowsProgressAndTheAbortButtonStops) {
    Workspace ws(TransferConfig(), /*ownLine=*/false);
    QByteArray program;
    for (int k = 1; k <= 3000; ++k) program += "N" + QByteArray::number(k) + " G1 X10 Y20 F300\r\n";
    program += "M30\r\n";
    WriteFile(ws.Path("4711.CNC"), program);
    QProcess cnc;
    cnc.start(VIRTUAL_CNC, {"--link", ws.LinkPath(), "--read-rate", "9600", "--call", "4711",
                            "--receive", ws.Path("answer.txt"), "--idle-ms", "2000"});
    ASSERT_TRUE(cnc.waitForStarted());
    ASSERT_TRUE(WaitFor([&] { return QFileInfo(ws.LinkPath()).exists(); }));
    Workspace::Probe();

    ScriptedSeam seam;
    TForm1 form;
    form.show();
    ASSERT_TRUE(form.Serial1->Active());
    ASSERT_TRUE(WaitFor([&] { return form.SendBar->isVisible() && form.SendBar->value() > 600; }));
    EXPECT_TRUE(form.SendBar->text().startsWith("Zeile ")) << form.SendBar->text().toStdString();
    EXPECT_TRUE(form.SendTimeLabel->text().startsWith("noch etwa "));
    const QByteArray screenshot = qgetenv("DNC_SCREENSHOT_SEND");
    if (!screenshot.isEmpty()) form.grab().save(QString::fromLocal8Bit(screenshot));

    ASSERT_TRUE(form.ButtonTxClear->isEnabled());
    form.ButtonTxClear->click();
    ASSERT_TRUE(WaitFor([&] { return !form.Engine->Sending(); }, 1000));
    EXPECT_FALSE(form.SendBar->isVisible());
    form.FlushMemos();
    EXPECT_TRUE(form.StatusText().startsWith("Senden abgebrochen nach Zeile "));
    EXPECT_TRUE(form.MemoFile->toPlainText().contains(QStringLiteral("(Abbruch Senden)")));
    cnc.waitForFinished(10000);
    EXPECT_TRUE(program.startsWith(ReadFile(ws.Path("answer.txt"))));
    EXPECT_TRUE(seam.boxes.isEmpty());
}

namespace {

// A case of what controls send, against the real window (dwell 20 ms): no box may appear.
void AgainstTheWindow(const control_cases::Case& c) {
    TransferConfig config;
    config.timer = "20";
    config.extra = c.config;
    Workspace ws(config, /*ownLine=*/false);
    const QString dir = QDir::currentPath();
    control_cases::WriteWorkFiles(dir);
    QProcess cnc;  // outlives the window: the line stays until the window is gone
    cnc.setProcessChannelMode(QProcess::MergedChannels);
    cnc.start(VIRTUAL_CNC,
              QStringList{"--link", ws.LinkPath()} + c.args(dir) + QStringList{"--hold"});
    ASSERT_TRUE(cnc.waitForStarted());
    ASSERT_TRUE(WaitFor([&] { return QFileInfo(ws.LinkPath()).exists(); }));
    Workspace::Probe();

    ScriptedSeam seam;
    auto form = std::make_unique<TForm1>();
    ASSERT_TRUE(form->Serial1->Active());
    const auto log = [&] { return ReadFile(ws.Path("send/DNC.log")); };
    QByteArray said;
    const bool over = WaitFor(
        [&] {
            said += cnc.readAll();
            return control_cases::Over(c, log(), said) && !form->Engine->Busy() &&
                   !form->Engine->ReceiveSettling();
        },
        40000);
    form->FlushMemos();
    ASSERT_TRUE(over) << log().constData() << said.constData()
                      << form->MemoFile->toPlainText().toStdString();
    c.check(dir, log(), said);
    if (::testing::Test::HasFailure()) {
        ADD_FAILURE() << said.constData() << form->MemoFile->toPlainText().toStdString()
                      << "\nreceived:\n"
                      << form->MemoRec->toPlainText().toStdString();
    }
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
    EXPECT_TRUE(seam.fileDialogs.isEmpty());
    QString screenshot = qEnvironmentVariable("DNC_SCREENSHOT");
    if (!screenshot.isEmpty()) {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        const QString name = QString::fromLatin1(test->name()).replace('/', '-');
        form->grab().save(screenshot.replace(".png", '-' + name + ".png"));
    }
    form.reset();
    cnc.kill();
    cnc.waitForFinished(5000);
}

}  // namespace

TEST(TransferVirtualCnc, IsoControlPunchesProgramsSubprogramsAndLfCalls) {
    AgainstTheWindow(control_cases::kIsoControl);
}

TEST(TransferVirtualCnc, CrOnlyCallGlitchTwoCallsCommentAndSubprogram) {
    AgainstTheWindow(control_cases::kCrLfControl);
}

TEST(TransferVirtualCnc, ANewCallDuringASendStopsItAndIsAnswered) {
    AgainstTheWindow(control_cases::kResetDuringASend);
}

TEST(TransferVirtualCnc, ADeviceLostMidProgramKeepsItWholeAsIncomplete) {
    AgainstTheWindow(control_cases::kDeviceLostMidProgram);
}

// Each control family: a program and a punch-all, named as punched, a call answered after each.
class TransferVirtualCncFamily : public ::testing::TestWithParam<control_cases::Case (*)()> {};

TEST_P(TransferVirtualCncFamily, ProgramsNamedAsPunchedAndCallsAnswered) {
    AgainstTheWindow(GetParam()());
}

INSTANTIATE_TEST_SUITE_P(Controls, TransferVirtualCncFamily,
                         ::testing::ValuesIn(control_cases::kFamilyCases),
                         control_cases::FamilyName);

// A program without a name: its file dialog stays open while 27 more programs (140 KB) arrive,
// on a line without handshake, where a real UART drops what is not read. All is read while
// the dialog is open, and every program is saved after the answer.
TEST(TransferVirtualCnc, TheFileDialogHoldsNoByteBack) {
    TransferConfig config;
    config.extra = "Ruhezeit=3600\r\nNamen=Programm\r\n";
    Workspace ws(config, /*ownLine=*/false);
    const QByteArray first = "%\r\nN10 G0 X0\r\nM30\r\n";
    QByteArray rest;
    QList<QByteArray> programs;
    for (int k = 1; k <= 27; ++k) {
        QByteArray p = "%\r\nO" + QByteArray::number(1000 + k) + " (TEIL)\r\n";
        for (int n = 1; n <= 310; ++n)
            p += "N" + QByteArray::number(n * 10) + " G1 X" + QByteArray::number(n % 97) + " Y" +
                 QByteArray::number(k) + "\r\n";
        programs << p + "M30\r\n";
        rest += programs.last();
    }
    ASSERT_GT(rest.size(), 140 * 1000);
    WriteFile(ws.Path("first.nc"), first);
    WriteFile(ws.Path("rest.nc"), rest);
    QProcess cnc;
    cnc.setProcessChannelMode(QProcess::MergedChannels);
    cnc.start(VIRTUAL_CNC,
              {"--link", ws.LinkPath(), "--rate", "0", "--chunk", "1", "--chunk-max", "4096",
               "--send", ws.Path("first.nc"), "--send", ws.Path("rest.nc"), "--hold"});
    ASSERT_TRUE(cnc.waitForStarted());
    ASSERT_TRUE(WaitFor([&] { return QFileInfo(ws.LinkPath()).exists(); }));
    Workspace::Probe();

    const auto saved = [&] { return control_cases::Saved(ws.Path(".")); };
    ScriptedSeam seam;
    seam.fileAnswers = {ws.Path("save/ERSTES.CNC")};
    auto form = std::make_unique<TForm1>();
    ASSERT_TRUE(form->Serial1->Active());
    QByteArray said;
    bool allRead = false;
    seam.duringFileDialog = [&] {
        allRead = WaitFor([&] {
            said += cnc.readAll();
            return said.contains("rest.nc\n") && form->Serial1->InQueueCount() == 0;
        });
        EXPECT_TRUE(saved().isEmpty()) << "nothing is decided while the dialog is open";
    };
    ASSERT_TRUE(WaitFor([&] { return saved().size() == 28; }, 40000))
        << saved().join(' ').toStdString();
    EXPECT_TRUE(allRead) << said.constData();
    EXPECT_EQ(seam.fileDialogs.size(), 1);
    // Each "%" line between two programs is the tape end of the one and the start of the
    // other.
    EXPECT_EQ(ReadFile(ws.Path("save/ERSTES.CNC")), first + "%\r\n");
    for (int k = 1; k <= 27; ++k) {
        EXPECT_EQ(ReadFile(ws.Path("save/" + QString::number(1000 + k) + ".CNC")),
                  programs[k - 1] + (k < 27 ? "%" : "") + "\r\n")
            << k;
    }
    form.reset();
    cnc.kill();
    cnc.waitForFinished(5000);
}

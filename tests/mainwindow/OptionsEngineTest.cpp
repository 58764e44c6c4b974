// The options window's "Data OK" reaches the running engine at once, with nothing saved.
#include <QPlainTextEdit>
#include <QPushButton>

#include "TransferTestSupport.h"
#include "common/ScriptedSeam.h"
#include "config/ConfigValues.h"
#include "mainwindow/Unit1.h"
#include "options/Unit3.h"

using namespace transfer_test;

TEST(OptionsEngine, DataOkChangesTheDwellOfTheRunningEngineAndRefusesOneThatIsNoNumber) {
    Workspace ws;
    ScriptedSeam seam;
    TForm1 form;
    ASSERT_TRUE(form.Serial1->Active());
    TForm3 options;
    options.SetMainMemos(form.MemoFile, form.MemoTrm, form.MemoRec);
    const QByteArray configBefore = ReadFile("Config.ini");

    // Through the window: load, password, a dwell that is no number, "Data OK".
    options.ServerEinstellung1Click();
    options.ConfigLoad->click();
    seam.inputAnswers = {"9518"};
    options.BtChange->click();
    options.MemoPrgAK->setPlainText("Abc");
    for (const char* bad : {"zehn", "-5", "1.5", ""}) {
        SCOPED_TRACE(bad);
        seam.boxes.clear();
        options.MemoTimer->setPlainText(bad);
        options.BtOK->click();
        ASSERT_EQ(seam.boxes.size(), 1);
        EXPECT_TRUE(seam.boxes[0].text.startsWith("Verweilzeit ( MSec ): \"" + QByteArray(bad)))
            << seam.boxes[0].text.constData();
        EXPECT_EQ(ConfigValues[CfgSlot::Timer], "0") << "a refused dwell is not taken";
        EXPECT_EQ(ConfigValues[CfgSlot::PrgAK], "Prg") << "nor anything else";
    }

    // A whole number is taken at once by the running engine, with nothing saved.
    seam.boxes.clear();
    options.MemoTimer->setPlainText("150");
    options.BtOK->click();
    EXPECT_TRUE(seam.boxes.isEmpty());
    EXPECT_EQ(form.Engine->VerweilZeit(), 150);
    EXPECT_EQ(ConfigValues[CfgSlot::PrgAK], "Abc");
    EXPECT_EQ(ReadFile("Config.ini"), configBefore);
    ConfigValues[CfgSlot::Timer] = "0";
}

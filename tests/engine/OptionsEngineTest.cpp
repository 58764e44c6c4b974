// The options window's "Data OK" reaches the running engine at once, with nothing saved.
#include <QPlainTextEdit>
#include <QPushButton>

#include "TransferTestSupport.h"
#include "common/ScriptedSeam.h"
#include "config/ConfigValues.h"
#include "config/Unit3.h"
#include "engine/Unit1.h"

using namespace transfer_test;

TEST(OptionsEngine, DataOkChangesTheDwellOfTheNextReceiveEvent) {
    Workspace ws;
    ScriptedSeam seam;
    TForm1 form;
    ASSERT_TRUE(form.Serial1->Active());
    TForm3 options;
    options.SetMainMemos(form.MemoFile, form.MemoTrm, form.MemoRec);
    const QByteArray configBefore = ReadFile("Config.ini");

    // The first event reads without a dwell and so cannot fail on it.
    ws.CncWrite("N1");
    ASSERT_TRUE(WaitFor([&] { return form.RxEvents == 1 && !form.SerialHandlerRunning(); }));
    EXPECT_TRUE(seam.boxes.isEmpty());

    // Through the window: load, password, a dwell that is no number, "Data OK".
    options.ServerEinstellung1Click();
    options.ConfigLoad->click();
    seam.inputAnswers = {"9518"};
    options.BtChange->click();
    options.MemoTimer->setPlainText("zehn");
    options.BtOK->click();
    ASSERT_TRUE(seam.boxes.isEmpty());

    // The next event's dwell uses it: the engine reports the value and stays in service.
    ws.CncWrite("N2");
    ASSERT_TRUE(WaitFor([&] { return !seam.boxes.isEmpty(); }));
    EXPECT_TRUE(seam.boxes.last().text.contains("zehn")) << seam.boxes.last().text.constData();
    EXPECT_TRUE(form.Serial1->Active());
    EXPECT_EQ(ReadFile("Config.ini"), configBefore);
    ConfigValues[CfgSlot::Timer] = "0";
}

// The page in headless Chromium (tests/web/page_test.py, Selenium): two machines, a send
// whose progress the page shows, an upload that a call then gets, a received program
// downloaded byte for byte. Screenshots at 1280 and 360 pixels go to SHOT_FOLDER.
#include <gtest/gtest.h>

#include "tests/web/WebRig.h"

using namespace webrig;

TEST(WebPage, InHeadlessChromium) {
    if (!QFileInfo::exists("/usr/bin/chromium") || !QFileInfo::exists("/usr/bin/chromedriver")) {
        GTEST_FAIL() << "chromium and chromium-driver are missing: scripts/setup.sh installs them";
    }
    TWebRig rig;
    TMachineLine& mill = rig.AddMachine("fraese1");
    TMachineLine& lathe = rig.AddMachine("drehbank2");
    QByteArray program = "%\r\n";
    for (int k = 1; k <= 4000; ++k)
        program += "N" + QByteArray::number(k) + " G1 X1.5 Y2.5 Z-0.125 F900\r\n";
    program += "M30\r\n";
    WriteFile(rig.Folder("fraese1") + "/7000.CNC", program);
    ASSERT_TRUE(rig.StartService("fraese1"));
    ASSERT_TRUE(rig.StartService("drehbank2"));
    const QByteArray password = "Spindel-4711";
    ASSERT_EQ(rig.MakeUser("meister", "bedienen", password), 0);
    ASSERT_TRUE(rig.StartWeb()) << rig.webSaid.constData();
    // A program the lathe sent, to download.
    lathe.Send("%\r\n(DFS,P4711,)\r\nN10 G1 X10 \xB0\r\nM30\r\n");
    ASSERT_TRUE(WaitFor([&] { return rig.Log("drehbank2").contains("P4711.CNC PRG Nr = 1"); }));
    QTemporaryDir upload;
    const QByteArray uploaded = "%\r\n(HOCHGELADEN)\r\nN10 G0 X5\r\nM30\r\n";
    WriteFile(upload.filePath("5555.CNC"), uploaded);

    QProcess page;
    page.start("/usr/bin/python3",
               {PAGE_SCRIPT, "--url", rig.Origin() + "/", "--user", "meister", "--password",
                password, "--upload", upload.filePath("5555.CNC"), "--expect-download",
                rig.Folder("drehbank2") + "/save/P4711.CNC", "--shots", SHOT_FOLDER});
    ASSERT_TRUE(page.waitForStarted());
    // The mill reads slowly from the page's SEND until it has seen the bar move (SEEN),
    // so the send lasts however slow the browser is; then it takes the rest.
    bool sending = false;
    QByteArray said, got;
    QElapsedTimer paced;
    paced.start();
    ASSERT_TRUE(WaitFor(
        [&] {
            said += page.readAllStandardOutput();
            if (!sending && said.contains("SEND")) {
                sending = true;
                mill.Call("7000");
            }
            if (said.contains("SEEN")) {
                got += mill.Take();
            } else if (sending && paced.elapsed() >= 20) {
                paced.restart();
                got += mill.Take(256);
            }
            return page.state() == QProcess::NotRunning;
        },
        120000))
        << said.constData();
    said += page.readAllStandardOutput();
    EXPECT_EQ(page.exitCode(), 0) << said.constData() << page.readAllStandardError().constData();
    EXPECT_TRUE(said.contains("DONE"));
    EXPECT_TRUE(WaitFor([&] {
        got += mill.Take();
        return got.endsWith("M30\r\n");
    }));
    EXPECT_EQ(got, program);
    // The upload is what a call of the lathe gets.
    EXPECT_EQ(ReadFile(rig.Folder("drehbank2") + "/5555.CNC"), uploaded);
    lathe.Call("5555");
    EXPECT_EQ(lathe.Until("M30\r\n"), uploaded);
}

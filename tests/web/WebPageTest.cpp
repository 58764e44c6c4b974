// The page in headless Chromium (tests/web/page_test.py, Selenium), against real instances:
// the overview when its event stream is refused, during a send and while the machine takes
// nothing, and "Abbruch Senden"; the programs of a machine with their versions, a restore,
// a received program taken over. Screenshots at 390 and 1280 pixels go to
// SHOT_FOLDER.
#include <gtest/gtest.h>

#include "tests/web/WebRig.h"

using namespace webrig;

namespace {

const QByteArray kPassword = "Spindel-4711";

class WebPage : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const QString missing = PageToolsMissing(); !missing.isEmpty()) {
            GTEST_FAIL() << missing.toStdString();
        }
    }

    bool Start() {
        for (const auto& [name, line] : rig.lines) {
            if (!rig.StartService(name)) return false;
        }
        return rig.MakeUser("meister", "bedienen", kPassword) == 0 && rig.StartWeb();
    }

    QByteArray Run(const QString& scenario, const QStringList& extra,
                   const std::function<void(const QByteArray&)>& cue,
                   const std::function<void()>& tick) {
        return RunPage(rig, PAGE_SCRIPT, SHOT_FOLDER, kPassword, scenario, extra, cue, tick);
    }

    TWebRig rig;
};

}  // namespace

TEST_F(WebPage, OverviewWithoutItsStreamDuringASendAndAnAbortThatAsksFirst) {
    TMachineLine& mill = rig.AddMachine("fraese1");
    // A long name: it must stand whole beside a long state, or above it.
    rig.AddMachine("Bearbeitungszentrum-DMU65");
    QByteArray program = "%\r\n";
    for (int k = 1; k <= 20000; ++k)
        program += "N" + QByteArray::number(k) + " G1 X1.5 Y2.5 Z-0.125 F900\r\n";
    program += "M30\r\n";
    WriteFile(rig.Folder("fraese1") + "/7000.CNC", program);
    ASSERT_TRUE(Start()) << rig.webSaid.constData();
    // The mill reads slowly from the page's SEND (the program lasts 45 s at that pace), so
    // that the page sees the bar move, and nothing from STALL on.
    bool reading = false;
    QByteArray got;
    QElapsedTimer paced;
    paced.start();
    Run(
        "overview", {},
        [&](const QByteArray& cue) {
            if (cue == "SEND") {
                mill.Call("7000");
                reading = true;
            }
            if (cue == "STALL") reading = false;
        },
        [&] {
            if (reading && paced.elapsed() >= 20) {
                paced.restart();
                got += mill.Take(256);
            }
        });
    ASSERT_TRUE(WaitFor([&] { return rig.Log("fraese1").contains("(Web: meister)"); }));
    const QByteArray log = rig.Log("fraese1");
    // The log is Windows-1252.
    EXPECT_TRUE(log.contains("7000.CNC nicht vollst\xE4ndig gesendet: abgebrochen nach Zeile "))
        << log.constData();
    EXPECT_TRUE(log.contains(" (Web: meister) ")) << log.constData();
}

TEST_F(WebPage, ProgramsTheirVersionsAndReceivedOnes) {
    TMachineLine& lathe = rig.AddMachine("drehbank2");
    for (const char* name : {"100.CNC", "9.CNC", "10.CNC"}) {
        WriteFile(rig.Folder("drehbank2") + "/" + name, "%\r\nN10 G0 X0\r\nM30\r\n");
    }
    ASSERT_TRUE(Start()) << rig.webSaid.constData();
    // A program the lathe sent, to download and to take over.
    lathe.Send("%\r\n(DFS,P4711,)\r\nN10 G1 X10 \xB0\r\nM30\r\n");
    ASSERT_TRUE(WaitFor([&] { return rig.Log("drehbank2").contains("P4711.CNC PRG Nr = 1"); }));
    QTemporaryDir first, second;
    const QByteArray v1 = "%\r\n(ERSTE FASSUNG)\r\nN10 G0 X5\r\nN20 G1 Y1\r\nM30\r\n";
    const QByteArray v2 = "%\r\n(ZWEITE FASSUNG)\r\nN10 G0 X6\r\nN20 G1 Y1\r\nM30\r\n";
    WriteFile(first.filePath("5555.CNC"), v1);
    WriteFile(second.filePath("5555.CNC"), v2);
    const QString saved = rig.Folder("drehbank2") + "/save/P4711.CNC";
    Run(
        "programs",
        {"--upload", first.filePath("5555.CNC"), "--replace", second.filePath("5555.CNC"),
         "--expect-download", saved},
        [](const QByteArray&) {}, [] {});
    // Restored and taken over on disk as on the page; a call gets the restored one.
    EXPECT_EQ(ReadFile(rig.Folder("drehbank2") + "/5555.CNC"), v1);
    EXPECT_EQ(ReadFile(rig.Folder("drehbank2") + "/4711.CNC"), ReadFile(saved));
    lathe.Call("5555");
    EXPECT_EQ(lathe.Until("M30\r\n"), v1);
}

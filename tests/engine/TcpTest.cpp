// A serial device server over TCP in its raw mode, played by the virtual CNC on a local
// socket: a call answered and a program saved as on a serial line, and a dropped connection
// that comes back.
#include "EngineRig.h"
#include "common/ScriptedSeam.h"

using namespace engine_test;

namespace {

const QByteArray kProgram2507 = "%\r\nN10 G0 X0\r\nN20 G1 Y5\r\nM30\r\n";
const QByteArray kSaved = "%\r\n(DFS,P4711,)\r\nN10 G1 X10\r\nN20 M30\r\n";

}  // namespace

TEST(DeviceServer, CallAndSaveOverTcpAndAConnectionThatComesBack) {
    EngineRig rig;
    WriteFile(rig.Path("2507.CNC"), kProgram2507);
    WriteFile(rig.Path("p4711.nc"), kSaved);
    ScriptedSeam seam;
    rig.NetworkCnc({"--rate", "9600", "--chunk", "7", "--call", "2507", "--receive",
                    rig.Path("answer.txt"), "--send", rig.Path("p4711.nc"), "--wait", "300"});
    ASSERT_TRUE(rig.serial->Active()) << rig.serial->LastOpenError().constData();
    EXPECT_EQ(rig.CncDone(), 0);
    ASSERT_TRUE(WaitFor([&] { return rig.engine->PrgCount == 2 && !rig.engine->Busy(); }));
    EXPECT_EQ(ReadFile(rig.Path("answer.txt")), kProgram2507);
    EXPECT_EQ(ReadFile(rig.Path("save/P4711.CNC")), kSaved + "\r\n");

    // The device server closed the connection: lost, and tried again every second.
    ASSERT_TRUE(WaitFor([&] { return !rig.view.lost.isEmpty(); }));
    EXPECT_TRUE(rig.engine->Reconnecting());
    EXPECT_FALSE(WaitFor([&] { return rig.serial->Active(); }, 1500)) << "nobody listens";

    // It is back on the same address: the connection opens again and serves.
    rig.NetworkCnc({"--call", "2507", "--receive", rig.Path("answer2.txt"), "--hold"});
    ASSERT_TRUE(WaitFor([&] { return !rig.view.reopened.isEmpty(); }, 3000));
    ASSERT_TRUE(WaitFor([&] { return ReadFile(rig.Path("answer2.txt")) == kProgram2507; }))
        << ReadFile(rig.Path("answer2.txt")).constData();
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
}

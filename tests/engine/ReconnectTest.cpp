// A device that goes away and comes back: nothing waits for a click, the port opens again by
// itself behind the same port map entry, and what the loss cut is not reported as done.
#include <QElapsedTimer>
#include <mutex>

#include "EngineRig.h"
#include "common/Ansi.h"
#include "common/ScriptedSeam.h"
#include "serial/Port.h"

using namespace engine_test;

namespace {

const QByteArray kProgram2507 = "%\r\nN10 G0 X0\r\nM30\r\n";
const QByteArray kCall2507 = "%Prg\r\nO2507\r\nM30\r\n";

}  // namespace

TEST(Reconnect, ALostDeviceIsOpenedAgainWhenItIsBackAndACallIsAnswered) {
    EngineRig rig;
    rig.OwnLine();
    WriteFile(rig.Path("2507.CNC"), kProgram2507);
    ScriptedSeam seam;
    // Half a program has come when the adapter is pulled.
    rig.MachineWrite("%\r\n(DFS,HALB,)\r\nN10 G1 X5\r\n");
    ASSERT_TRUE(WaitFor([&] { return rig.engine->RxEvents == 1 && !rig.engine->Busy(); }));
    rig.HangUp();
    ASSERT_TRUE(WaitFor([&] { return !rig.view.lost.isEmpty(); }));
    EXPECT_FALSE(rig.serial->Active());
    EXPECT_TRUE(rig.engine->Reconnecting());
    EXPECT_TRUE(rig.view.status.last().startsWith("Verbindung zur Schnittstelle COM1 verloren"));
    // What had come is on disk at once, in a file of its own.
    const QByteArray head = "%\r\n(DFS,HALB,)\r\nN10 G1 X5\r\n";
    const QStringList kept =
        QDir(rig.Path("unvollstaendig")).entryList({"*-HALB.CNC"}, QDir::Files);
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(ReadFile(rig.Path("unvollstaendig/" + kept[0])), head);
    EXPECT_TRUE(rig.Log().contains("Schnittstelle COM1 verloren "));

    // Tries meanwhile find nothing; then the device is back.
    EXPECT_FALSE(WaitFor([&] { return rig.serial->Active(); }, 1500));
    rig.PlugIn();
    QElapsedTimer back;
    back.start();
    ASSERT_TRUE(WaitFor([&] { return !rig.view.reopened.isEmpty(); }, 3000));
    EXPECT_TRUE(rig.serial->Active());
    // The control starts anew with a call: the cut program ends, the call is answered.
    rig.MachineWrite(kCall2507);
    ASSERT_TRUE(WaitFor([&] { return rig.engine->PrgCount == 1 && !rig.engine->Busy(); }));
    EXPECT_LT(back.elapsed(), 3000) << "answered within 3 s of the device's return";
    EXPECT_EQ(rig.MachineRead(), kProgram2507);
    EXPECT_TRUE(
        rig.Log().contains(QByteArray("Schnittstelle COM1 wieder ge\xF6"
                                      "ffnet")));
    EXPECT_FALSE(QFileInfo::exists(rig.Path("save/HALB.CNC"))) << "half a program is no program";
    EXPECT_EQ(ReadFile(rig.Path("unvollstaendig/" + kept[0])), head);
    EXPECT_TRUE(
        rig.Log().contains(rig.Path("unvollstaendig/" + kept[0]).toUtf8() +
                           " unvollst\xE4ndig empfangen (Verbindung zum Ger\xE4t verloren)"))
        << rig.Log().constData();
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
}

TEST(Reconnect, TheOperatorStopsTheTries) {
    EngineRig rig;
    rig.OwnLine();
    ScriptedSeam seam;
    rig.HangUp();
    ASSERT_TRUE(WaitFor([&] { return rig.engine->Reconnecting(); }));
    rig.engine->StopReconnect();
    rig.PlugIn();
    EXPECT_FALSE(WaitFor([&] { return rig.serial->Active(); }, 2500));
    EXPECT_TRUE(rig.view.reopened.isEmpty());
}

// The lost device's map entry goes too (the adapter's link removed): the tries never open the
// default device of COM1 (/dev/ttyS0, the kernel console on many PCs) nor what the entry names
// later, only the device that was lost. A scripted device records every path the port layer
// looks at; it answers "missing" for the machine's devices, so none is touched.
TEST(Reconnect, TheSameDeviceOrNone) {
    EngineRig rig;
    rig.OwnLine();
    const QByteArray device = QFile::encodeName(rig.DevicePath());
    EXPECT_EQ(rig.serial->Device(), device);
    ScriptedSeam seam;
    std::mutex mutex;
    QList<QByteArray> looked;
    auto scripted = std::make_shared<Port::TScriptedDevice>();
    scripted->Device = [&](const QByteArray& path) -> std::optional<Port::TDeviceState> {
        std::lock_guard lock(mutex);
        looked.append(path);
        if (path.startsWith("/dev/tty")) return Port::dsMissing;
        return std::nullopt;
    };
    Port::SetScriptedDeviceForTests(scripted);
    const QByteArray noDefaults = qgetenv(Port::kNoDefaultsVariable);
    qunsetenv(Port::kNoDefaultsVariable);  // as outside the tests: COM1 defaults to /dev/ttyS0

    rig.HangUp();
    QFile::remove(rig.MapEntry());
    ASSERT_TRUE(WaitFor([&] { return !rig.view.lost.isEmpty(); }));
    const QByteArray gone = Ansi::Lit("Gerät ") + device + Ansi::Lit(" für COM1 nicht vorhanden");
    ASSERT_TRUE(WaitFor([&] { return rig.view.TraceCount(gone) == 1; }, 3000));
    EXPECT_TRUE(rig.view.TraceCount("COM1 " + Ansi::Lit("führt jetzt zu /dev/ttyS0")));

    // The entry names another device now, one that would open: still only the lost one.
    TestPty other;
    ASSERT_TRUE(other.LinkAs(rig.MapEntry()));
    ASSERT_TRUE(WaitFor(
        [&] { return rig.view.TraceCount(Ansi::Lit("führt jetzt zu ") + other.Path()) == 1; },
        3000));
    EXPECT_FALSE(rig.serial->Active());

    // Back as it was: the lost device opens again.
    rig.PlugIn();
    ASSERT_TRUE(WaitFor([&] { return rig.serial->Active(); }, 3000));
    Port::SetScriptedDeviceForTests(nullptr);
    qputenv(Port::kNoDefaultsVariable, noDefaults);
    other.Close();
    EXPECT_FALSE(looked.contains("/dev/ttyS0")) << looked.join(' ').constData();
    EXPECT_FALSE(looked.contains(other.Path()));
    EXPECT_EQ(rig.view.status.last(),
              Ansi::Lit("Schnittstelle COM1 wieder geöffnet (") + device + ")");

    // A port that was never open is opened, not "wieder".
    TSerial fresh;
    RecordingView view;
    TTransferEngine engine(&fresh, &view);
    rig.serial->Close();
    fresh.SetCOMPort(1);
    engine.StartReconnect();
    ASSERT_TRUE(WaitFor([&] { return fresh.Active(); }, 3000));
    EXPECT_EQ(view.status.last(), Ansi::Lit("Schnittstelle COM1 geöffnet (") + device + ")");
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
}

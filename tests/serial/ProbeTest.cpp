// The port probe and the port map, over temporary maps of pseudo-terminals.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <QFile>
#include <map>
#include <optional>
#include <vector>

#include "serial/Port.h"
#include "serial/Serial.h"
#include "tests/serial/PtyPortMap.h"

namespace {

TEST(SerialProbe, OnlyCom3Exists) {
    PtyPortMap map;
    map.AddPty(3);
    EnsurePortsProbed(8);
    EXPECT_EQ(ProbedPortCount, 8);
    EXPECT_TRUE(AnyPortExists);
    EXPECT_EQ(PortList[0], 3);
    EXPECT_EQ(PortList[1], 0);
    EXPECT_EQ(PortListIndex(3), 0);
    EXPECT_EQ(PortListIndex(1), 0);

    TSerial serial;
    EXPECT_EQ(serial.COMPort(), 3);  // lowest existing of COM1..COM4
    EXPECT_EQ(serial.PortNames(), QStringList{"COM3"});
    serial.SetCOMPort(1);
    EXPECT_EQ(serial.COMPort(), 0);
    serial.SetCOMPort(3);
    EXPECT_EQ(serial.COMPort(), 3);
    serial.SetCOMPort(100);  // out of range: ignored
    EXPECT_EQ(serial.COMPort(), 3);
    serial.SetCOMPort(-1);
    EXPECT_EQ(serial.COMPort(), 3);
}

TEST(SerialProbe, Com1AndCom4ExistAndTheProbeRunsOnce) {
    PtyPortMap map;
    map.AddPty(1);
    map.AddPty(4);
    ProbePorts(4);
    EXPECT_EQ(PortListIndex(4), 1);
    EXPECT_EQ(PortListIndex(5), 0);  // beyond the probed count
    TSerial serial;
    EXPECT_EQ(serial.COMPort(), 1);

    map.AddPty(2);  // plugged in later: not seen until the next process
    ProbePorts(8);
    EnsurePortsProbed(8);
    EXPECT_EQ(ProbedPortCount, 4);
    EXPECT_FALSE(PortExists[2]);
}

TEST(SerialProbe, EnsureLimitsTheCountAndIgnoresNonPositive) {
    PtyPortMap map;
    EnsurePortsProbed(0);
    EnsurePortsProbed(-3);
    ProbePorts(-3);
    EXPECT_EQ(ProbedPortCount, 0);
    map.AddPty(42);
    map.AddPty(99);
    EnsurePortsProbed(150);
    EXPECT_EQ(ProbedPortCount, 99);
    EXPECT_EQ(PortList[0], 42);
    EXPECT_EQ(PortList[1], 99);
    EXPECT_EQ(PortListIndex(99), 1);

    TSerial serial;  // no port among COM1..COM4
    EXPECT_EQ(serial.COMPort(), 0);
    EXPECT_EQ(serial.PortNames(), (QStringList{"COM42", "COM99"}));
}

TEST(SerialProbe, OnlyTtysCount) {
    PtyPortMap map;
    map.Link(1, "/dev/null");         // a character device, but not a tty
    map.Link(2, "/nonexistent/tty");  // dangling
    map.AddPty(3);
    map.Link(4, QFile::encodeName(QCoreApplication::applicationFilePath()));  // a plain file
    ProbePorts(4);
    EXPECT_FALSE(PortExists[1]);
    EXPECT_FALSE(PortExists[2]);
    EXPECT_TRUE(PortExists[3]);
    EXPECT_FALSE(PortExists[4]);
}

// Opening a tty raises DTR and RTS, which a control may take as a signal: the probe only
// looks at the device.
TEST(SerialProbe, LooksWithoutOpening) {
    PtyPortMap map;
    map.AddPty(2);
    char slave[512] = {};
    ASSERT_GT(readlink((Port::MapFolder() + "/COM2").constData(), slave, sizeof slave - 1), 0);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, slave, IN_OPEN), 0);
    ProbePorts(4);
    EXPECT_TRUE(PortExists[2]);
    char event[4096];
    EXPECT_LT(read(watch, event, sizeof event), 0) << "the probe opened " << slave;
    TSerial serial;
    ASSERT_TRUE(serial.Open());  // the watch itself sees opens
    EXPECT_GT(read(watch, event, sizeof event), 0);
    close(watch);
}

// A refusal or a holder cannot be made on a pseudo-terminal by a test running as root: a
// scripted device answers for those.
TEST(SerialProbe, PortNotPermittedIsThereAndMarkedSo) {
    PtyPortMap map;
    auto device = std::make_shared<Port::TScriptedDevice>();
    const std::map<QByteArray, Port::TDeviceState> answers = {
        {Port::MapFolder() + "/COM1", Port::dsNotPermitted},
        {Port::MapFolder() + "/COM2", Port::dsBusy},
        {Port::MapFolder() + "/COM3", Port::dsMissing},
        {Port::MapFolder() + "/COM4", Port::dsNotTty},
    };
    device->Device = [&](const QByteArray& path) -> std::optional<Port::TDeviceState> {
        const auto it = answers.find(path);
        if (it == answers.end()) return std::nullopt;
        return it->second;
    };
    Port::SetScriptedDeviceForTests(device);
    ProbePorts(4);
    Port::SetScriptedDeviceForTests(nullptr);
    EXPECT_TRUE(PortExists[1]);
    EXPECT_TRUE(PortNotPermitted[1]);
    EXPECT_TRUE(PortExists[2]);
    EXPECT_FALSE(PortNotPermitted[2]);
    EXPECT_FALSE(PortExists[3]);
    EXPECT_FALSE(PortExists[4]);
    EXPECT_EQ(PortList[0], 1);
    EXPECT_EQ(PortList[1], 2);
}

// COM1..COM8 are looked for as before, and every higher name that the map or the default
// mapping leads to a device.
TEST(SerialProbe, StartUpProbeFindsPortsAboveEight) {
    PtyPortMap map;
    map.AddPty(3);
    map.AddPty(9);
    map.AddPty(42);
    // COM10 without a map entry is /dev/ttyACM1 (outside tests); the machine has none, a
    // scripted one stands in.
    unlink((Port::MapFolder() + "/COM10").constData());
    const QByteArray noDefaults = qgetenv(Port::kNoDefaultsVariable);
    qunsetenv(Port::kNoDefaultsVariable);
    auto device = std::make_shared<Port::TScriptedDevice>();
    device->Device = [](const QByteArray& path) -> std::optional<Port::TDeviceState> {
        if (path == "/dev/ttyACM1") return Port::dsTty;
        return std::nullopt;
    };
    Port::SetScriptedDeviceForTests(device);
    ProbeStartUpPorts();
    Port::SetScriptedDeviceForTests(nullptr);
    qputenv(Port::kNoDefaultsVariable, noDefaults);
    const std::vector<int> found(PortList, PortList + 5);
    EXPECT_EQ(found, (std::vector<int>{3, 9, 10, 42, 0}));
    EXPECT_EQ(PortListIndex(42), 3);
}

TEST(SerialPortMap, FolderAndDefaults) {
    qputenv("XDG_CONFIG_HOME", "/tmp/xdg-test");
    EXPECT_EQ(Port::MapFolder(), "/tmp/xdg-test/dnc-server/ports");
    qputenv("XDG_CONFIG_HOME", "relative/ignored");
    EXPECT_EQ(Port::MapFolder(), qgetenv("HOME") + "/.config/dnc-server/ports");
    qunsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(Port::MapFolder(), qgetenv("HOME") + "/.config/dnc-server/ports");

    EXPECT_EQ(Port::DefaultDevice(1), "/dev/ttyS0");
    EXPECT_EQ(Port::DefaultDevice(4), "/dev/ttyS3");
    EXPECT_EQ(Port::DefaultDevice(5), "/dev/ttyUSB0");
    EXPECT_EQ(Port::DefaultDevice(9), "/dev/ttyACM0");
    EXPECT_EQ(Port::DefaultDevice(13), "");
    // The test harness switches the defaults off: no test reaches a device of the machine.
    EXPECT_TRUE(Port::DevicePath(1).isEmpty());
    EXPECT_TRUE(Port::DeviceName(5).isEmpty());
    EXPECT_EQ(TCustomSerial::PortName(7), "COM7");
    EXPECT_EQ(TCustomSerial::PortName(12), "COM12");
}

}  // namespace

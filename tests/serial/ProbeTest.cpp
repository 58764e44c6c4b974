// The port probe and the port map, over temporary maps of pseudo-terminals.
#include <gtest/gtest.h>

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
    ProbePorts(3);
    EXPECT_FALSE(PortExists[1]);
    EXPECT_FALSE(PortExists[2]);
    EXPECT_TRUE(PortExists[3]);
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
    EXPECT_EQ(TCustomSerial::PortName(7), "COM7");
    EXPECT_EQ(TCustomSerial::PortName(12), "COM12");
}

}  // namespace

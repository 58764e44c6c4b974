// Open, close and the line settings as the device really holds them (read back).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <QFile>
#include <QTemporaryDir>
#include <cstring>
#include <memory>
#include <optional>

#include "serial/Port.h"
#include "serial/PortError.h"
#include "serial/Serial.h"
#include "serial/Termios.h"
#include "tests/serial/PtyPortMap.h"

namespace {

class SerialPort : public ::testing::Test {
  protected:
    void SetUp() override {
        map.AddPty(1);
        map.AddPty(12);
        ProbePorts(12);
    }
    PtyPortMap map;
};

TEST_F(SerialPort, OpenCloseReopen) {
    TSerial serial;
    serial.SetCOMPort(12);  // two-digit name through the map
    EXPECT_FALSE(serial.Active());
    serial.SetActive(true);
    ASSERT_TRUE(serial.Active()) << serial.LastOpenError().constData();
    EXPECT_GE(serial.Handle(), 0);
    EXPECT_FALSE(serial.Open());            // already active
    EXPECT_FALSE(serial.HasEventThread());  // no handler: mask 0, no thread
    EXPECT_EQ(serial.CommMask(), 0u);
    serial.SetActive(false);
    EXPECT_FALSE(serial.Active());
    EXPECT_EQ(serial.Handle(), -1);
    TCommTimeouts t;
    EXPECT_FALSE(serial.Timeouts(t));  // both 0: none set
    serial.Close();                    // closed: nothing
    serial.SetBaudrate(br_004800);
    serial.SetTrmTimeOut(1000);
    EXPECT_TRUE(serial.Open());
    EXPECT_TRUE(serial.Active());
    ASSERT_TRUE(serial.Timeouts(t));  // the main window's settings
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 2u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
}

TEST_F(SerialPort, NoPortNoOpen) {
    TSerial serial;
    serial.SetCOMPort(0);
    serial.SetActive(true);
    EXPECT_FALSE(serial.Active());
    EXPECT_EQ(serial.Handle(), -1);
    EXPECT_FALSE(serial.LastOpenError().isEmpty());
}

TEST_F(SerialPort, OpenIsExclusive) {
    TSerial first, second;
    first.SetCOMPort(1);
    second.SetCOMPort(1);
    ASSERT_TRUE(first.Open());
    EXPECT_FALSE(second.Open());
    EXPECT_FALSE(second.Active());
    EXPECT_EQ(second.LastOpenFailure().Code, peBusy);
    first.Close();
    EXPECT_TRUE(second.Open());
    EXPECT_EQ(second.LastOpenFailure().Code, peNone);
    EXPECT_TRUE(second.LastOpenError().isEmpty());
}

TEST_F(SerialPort, VanishedDeviceSaysWhy) {
    TSerial serial;
    serial.SetCOMPort(1);
    map.Link(1, "/nonexistent/ttyUSB0");  // the adapter was pulled after the probe
    EXPECT_FALSE(serial.Open());
    EXPECT_EQ(serial.LastOpenFailure().Code, peNoDevice);
    EXPECT_EQ(serial.LastOpenFailure().Errno, ENOENT);
}

TEST_F(SerialPort, SettingsTheDeviceCannotTakeFailTheOpen) {
    struct Row {
        const char* name;
        std::function<void(TSerial&)> set;
        TPortSetting setting;
        const char* words;  // how the reason names the setting
    };
    const Row rows[] = {
        {"4 data bits", [](TSerial& s) { s.SetDataBits(db_4); }, psDataBits, "4 Datenbits"},
        {"1.5 stop bits with 8 data bits", [](TSerial& s) { s.SetStopBits(sb_15); }, psStopBits,
         "1,5 Stoppbits bei 8 Datenbits"},
        {"2 stop bits with 5 data bits",
         [](TSerial& s) {
             s.SetDataBits(db_5);
             s.SetStopBits(sb_2);
         },
         psStopBits, "2 Stoppbits bei 5 Datenbits"},
        {"rate 0", [](TSerial& s) { s.SetBaudrate(br_000050); }, psRate, "0 bit/s"},
    };
    OverrideRate(br_000050, 0);
    for (const Row& row : rows) {
        TSerial serial;
        serial.SetCOMPort(1);
        row.set(serial);
        EXPECT_FALSE(serial.Open()) << row.name;
        EXPECT_FALSE(serial.Active()) << row.name;
        EXPECT_EQ(serial.Handle(), -1) << row.name;
        EXPECT_EQ(serial.LastOpenFailure().Code, peNotSupported) << row.name;
        EXPECT_EQ(serial.LastOpenFailure().Setting, row.setting) << row.name;
        EXPECT_TRUE(serial.LastOpenError().contains(row.words)) << serial.LastOpenError().data();
        // The failed open released the port.
        TSerial other;
        other.SetCOMPort(1);
        EXPECT_TRUE(other.Open()) << row.name;
    }
    RestoreRates();
}

TEST_F(SerialPort, TermiosIsReallySet) {
    OverrideRate(br_009600, 1248);  // no Bnnn constant exists for it
    TSerial serial;
    serial.SetCOMPort(1);
    serial.SetBaudrate(br_009600);
    serial.SetDataBits(db_7);
    serial.SetParityBit(mark);
    serial.SetStopBits(sb_2);
    serial.SetHandshakeRtsCts(true);
    serial.SetHandshakeXOnXOff(true);
    serial.SetXOnChar(0x11);
    serial.SetXOffChar(0x13);
    ASSERT_TRUE(serial.Open()) << serial.LastOpenError().constData();
    RestoreRates();

    termios t{};
    ASSERT_EQ(tcgetattr(serial.Handle(), &t), 0);
    // A pseudo-terminal forces 8 data bits and clears PARENB; the rest stays as set.
    EXPECT_EQ(t.c_cflag & (CMSPAR | PARODD), tcflag_t(CMSPAR | PARODD));
    EXPECT_TRUE(t.c_iflag & INPCK);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
    EXPECT_EQ(t.c_cc[VSTART], 0x11);
    EXPECT_EQ(t.c_cc[VSTOP], 0x13);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_EQ(t.c_cflag & CBAUD, tcflag_t(0010000));  // BOTHER: an arbitrary rate
    quint32 in = 0, out = 0;
    ASSERT_TRUE(Port::GetRate(serial.Handle(), in, out));
    EXPECT_EQ(out, 1248u);
    EXPECT_EQ(in, 1248u);

    // A change while open waits for the next open.
    serial.SetBaudrate(br_019200);
    ASSERT_TRUE(Port::GetRate(serial.Handle(), in, out));
    EXPECT_EQ(out, 1248u);
    serial.Close();
    ASSERT_TRUE(serial.Open()) << serial.LastOpenError().constData();
    ASSERT_TRUE(Port::GetRate(serial.Handle(), in, out));
    EXPECT_EQ(out, 19200u);
    ASSERT_EQ(tcgetattr(serial.Handle(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B19200));
}

// Closing leaves the device as it was found: a port at 9600 bit/s without RTS/CTS, opened at
// 4800 with RTS/CTS, is back at 9600 without it after Close and after the component ends.
TEST_F(SerialPort, ClosingLeavesTheDeviceAsFound) {
    const int master = map.AddPty(2);  // the master reads and sets the device's termios
    ResetPortProbeForTests();
    ProbePorts(12);
    termios found{};
    ASSERT_EQ(tcgetattr(master, &found), 0);
    cfsetspeed(&found, B9600);
    found.c_cflag &= ~CRTSCTS;
    found.c_lflag |= ICANON | ECHO;
    ASSERT_EQ(tcsetattr(master, TCSANOW, &found), 0);
    ASSERT_EQ(tcgetattr(master, &found), 0);
    for (const bool destroy : {false, true}) {
        auto serial = std::make_unique<TSerial>();
        serial->SetCOMPort(2);
        serial->SetBaudrate(br_004800);
        serial->SetHandshakeRtsCts(true);
        ASSERT_TRUE(serial->Open()) << serial->LastOpenError().constData();
        termios open{};
        ASSERT_EQ(tcgetattr(master, &open), 0);
        EXPECT_EQ(cfgetospeed(&open), speed_t(B4800));
        EXPECT_TRUE(open.c_cflag & CRTSCTS);
        if (destroy)
            serial.reset();
        else
            serial->Close();
        termios left{};
        ASSERT_EQ(tcgetattr(master, &left), 0);
        EXPECT_EQ(cfgetospeed(&left), speed_t(B9600)) << destroy;
        EXPECT_EQ(left.c_cflag, found.c_cflag) << destroy;
        EXPECT_EQ(left.c_iflag, found.c_iflag) << destroy;
        EXPECT_EQ(left.c_lflag, found.c_lflag) << destroy;
        EXPECT_EQ(memcmp(left.c_cc, found.c_cc, sizeof left.c_cc), 0) << destroy;
    }
}

// The kernel has no DSR flow control; a port asked for it opens without it.
TEST_F(SerialPort, DtrDsrHandshakeOpensWithoutIt) {
    TSerial serial;
    serial.SetCOMPort(1);
    serial.SetHandshakeDtrDsr(true);
    ASSERT_TRUE(serial.Open()) << serial.LastOpenError().constData();
    termios t{};
    ASSERT_EQ(tcgetattr(serial.Handle(), &t), 0);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    serial.WriteString("G1\r\n");
    EXPECT_EQ(map.ReadMaster(1, 4), "G1\r\n");
}

// What a pseudo-terminal cannot show (a refused or held device) comes from a scripted
// device; /dev/null is a real device that is no tty.
TEST_F(SerialPort, EveryRefusedOpenHasItsCodeAndGermanWords) {
    struct Row {
        const char* name;
        std::optional<Port::TDeviceState> answer;
        QByteArray link;
        TPortError code;
        int err;
        const char* hint;
    };
    const Row rows[] = {
        {"not permitted", Port::dsNotPermitted, {}, peNotPermitted, EACCES, "dialout"},
        {"busy", Port::dsBusy, {}, peBusy, EBUSY, "anderen Programm"},
        {"missing", Port::dsMissing, {}, peNoDevice, ENOENT, "Adapter eingesteckt"},
        {"no tty (scripted)", Port::dsNotTty, {}, peNotSerial, ENOTTY, "Zuordnung"},
        {"no tty (/dev/null)", std::nullopt, "/dev/null", peNotSerial, ENOTTY, "Zuordnung"},
    };
    for (const Row& row : rows) {
        if (!row.link.isEmpty()) map.Link(1, row.link);
        auto device = std::make_shared<Port::TScriptedDevice>();
        device->Device = [&](const QByteArray&) { return row.answer; };
        Port::SetScriptedDeviceForTests(device);
        TSerial serial;
        serial.SetCOMPort(1);
        EXPECT_FALSE(serial.Open()) << row.name;
        Port::SetScriptedDeviceForTests(nullptr);
        EXPECT_EQ(serial.LastOpenFailure().Code, row.code) << row.name;
        EXPECT_EQ(serial.LastOpenFailure().Errno, row.err) << row.name;
        const QByteArray text = PortError::OpenFailureText(1, serial.LastOpenFailure());
        EXPECT_TRUE(text.startsWith("Die Schnittstelle COM1 kann nicht ge")) << text.data();
        EXPECT_TRUE(text.contains(row.hint)) << text.data();
        // The system's English words only in brackets, after the German reason.
        const QByteArray system = PortError::SystemText(row.err);
        EXPECT_EQ(text.indexOf(system), text.indexOf(" (" + system + ").") + 2) << text.data();
    }
}

TEST(SerialTermios, ParityTable) {
    struct Row {
        TParityBit parity;
        tcflag_t cflag;
    };
    const Row rows[] = {{none, 0},
                        {odd, PARENB | PARODD},
                        {even, PARENB},
                        {mark, PARENB | PARODD | CMSPAR},
                        {space, PARENB | CMSPAR}};
    for (const Row& row : rows) {
        termios t{};
        Termios::MakeRaw(t);
        Termios::SetParity(t, row.parity, true);
        EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), row.cflag) << ParityNames[row.parity];
        EXPECT_EQ(bool(t.c_iflag & INPCK), row.parity != none);
    }
}

}  // namespace

// A port map entry that is a file "tcp://HOST:PORT" names a serial device server.
TEST(DeviceServerEntry, AddressesAndWhatTheProbeMakesOfThem) {
    QTemporaryDir dir;
    struct Row {
        const char* text;
        bool valid;
        QByteArray host;
        quint16 port;
    } rows[] = {
        {"tcp://192.168.0.50:4001", true, "192.168.0.50", 4001},
        {"  tcp://moxa-halle2:950\r\n", true, "moxa-halle2", 950},
        {"tcp://[fe80::1]:4001", true, "fe80::1", 4001},
        {"tcp://host:0", false, "", 0},
        {"tcp://host:70000", false, "", 0},
        {"tcp://:4001", false, "", 0},
        {"udp://host:4001", false, "", 0},
        {"/dev/ttyUSB0", false, "", 0},
    };
    for (const Row& r : rows) {
        const QString path = dir.filePath("entry");
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(r.text);
        f.close();
        QByteArray host;
        quint16 port = 0;
        EXPECT_EQ(Port::NetworkAddress(QFile::encodeName(path), &host, &port), r.valid) << r.text;
        EXPECT_EQ(Port::DeviceState(QFile::encodeName(path)),
                  r.valid ? Port::dsNetwork : Port::dsNotTty)
            << r.text;
        if (r.valid) {
            EXPECT_EQ(host, r.host) << r.text;
            EXPECT_EQ(port, r.port) << r.text;
        }
    }
    // RFC 2217, and the address as the entry's device name.
    Port::TNetAddress address;
    ASSERT_TRUE(Port::ParseNetworkAddress(" rfc2217://[::1]:2217\n", &address));
    EXPECT_TRUE(address.Rfc2217);
    EXPECT_EQ(address.Host, "::1");
    EXPECT_EQ(address.Text(), "rfc2217://[::1]:2217");

    // Nobody listens (on a port just freed): the open says so in German, and there is no port
    // to wait on forever.
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
    close(probe);
    const QByteArray free = "tcp://127.0.0.1:" + QByteArray::number(ntohs(a.sin_port));
    PtyPortMap map;
    QFile entry(QString::fromUtf8(Port::MapFolder()) + "/COM3");
    entry.remove();
    ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
    entry.write(free + "\n");
    entry.close();
    EXPECT_EQ(Port::DeviceName(3), free);
    EnsurePortsProbed(8);
    EXPECT_TRUE(PortExists[3]);
    TSerial serial;
    serial.SetCOMPort(3);
    EXPECT_FALSE(serial.Open());
    EXPECT_EQ(serial.LastOpenFailure().Code, peNoDevice);
}

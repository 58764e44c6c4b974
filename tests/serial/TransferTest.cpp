// The transfer operations on a real pseudo-terminal: bytes are bytes.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "serial/Port.h"
#include "serial/Serial.h"
#include "tests/serial/PtyPortMap.h"

namespace {

QByteArray EveryByte() {
    QByteArray all;
    for (int i = 0; i < 256; ++i) all.append(char(i));
    return all;
}

class SerialTransfer : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GE(master, 0);
        serial.SetCOMPort(2);
    }
    // Waits until the port holds n received bytes.
    bool Queued(int n) {
        return PtyPortMap::WaitFor([&] { return serial.InQueueCount() >= n; });
    }
    PtyPortMap map;
    int master = map.AddPty(2);  // before the component probes
    TSerial serial;
};

TEST_F(SerialTransfer, ClosedPortTransfersNothing) {
    char buf[8];
    EXPECT_EQ(serial.ReadString(), QByteArray());
    EXPECT_EQ(serial.WriteString("abc"), 0);
    EXPECT_EQ(serial.ReadBuffer(buf, 8), 0);
    EXPECT_EQ(serial.WriteBuffer("abc", 3), 0);
    EXPECT_EQ(serial.InQueueCount(), 0);
    EXPECT_FALSE(serial.PurgeBuffers(true, false, true, false));
    int in = -1, out = -1;
    serial.GetQueueStatus(in, out);
    EXPECT_EQ(in, 0);
    EXPECT_EQ(out, 0);
}

TEST_F(SerialTransfer, EveryByteValuePassesBothWays) {
    ASSERT_TRUE(serial.Open());
    const QByteArray all = EveryByte();
    EXPECT_EQ(serial.WriteString(all), 256);
    EXPECT_EQ(map.ReadMaster(2, 256), all);

    map.WriteMaster(2, all);
    ASSERT_TRUE(Queued(256));
    const QByteArray got = serial.ReadString();
    EXPECT_EQ(got, all);                           // NUL included, nothing converted
    EXPECT_EQ(serial.ReadString(), QByteArray());  // nothing queued: empty

    EXPECT_EQ(serial.WriteBuffer(all), 256);
    EXPECT_EQ(map.ReadMaster(2, 256), all);
    EXPECT_EQ(serial.WriteString(""), 0);
}

TEST_F(SerialTransfer, ReadStringTakesEveryQueuedByte) {
    ASSERT_TRUE(serial.Open());
    QByteArray sent;
    for (int i = 0; i < 5; ++i) {
        const QByteArray block = "N" + QByteArray::number(i * 10) + " G01 X12.5\r\n";
        map.WriteMaster(2, block);
        sent += block;
    }
    ASSERT_TRUE(Queued(int(sent.size())));
    EXPECT_EQ(serial.ReadString(), sent);
}

TEST_F(SerialTransfer, ReadBufferTakesWhatIsQueuedOrWaitsForCount) {
    ASSERT_TRUE(serial.Open());
    char buf[100];
    EXPECT_EQ(serial.ReadBuffer(buf, 0), 0);
    map.WriteMaster(2, "1234567");
    ASSERT_TRUE(Queued(7));
    serial.SetSyncWait(false);
    EXPECT_EQ(serial.ReadBuffer(buf, 100), 7);
    EXPECT_EQ(QByteArray(buf, 7), "1234567");

    // Waiting for the full count: the other side sends the rest a little later.
    serial.SetSyncWait(true);
    map.WriteMaster(2, "abc");
    std::thread late([&] {
        QThread::msleep(50);
        map.WriteMaster(2, "defg");
    });
    QByteArray got;
    EXPECT_EQ(serial.ReadBuffer(got, 7), 7);
    late.join();
    EXPECT_EQ(got, "abcdefg");
}

TEST_F(SerialTransfer, ReadBufferEndsAtTheReadTimeOut) {
    serial.SetRecTimeOut(30);
    ASSERT_TRUE(serial.Open());
    map.WriteMaster(2, "xy");
    QByteArray got;
    EXPECT_EQ(serial.ReadBuffer(got, 50), 2);  // 2 came, the rest never does
    EXPECT_EQ(got, "xy");
}

TEST_F(SerialTransfer, WriteGivesUpAtTheTimeOutAndSaysWhatWasSent) {
    serial.SetTrmTimeOut(50);
    ASSERT_TRUE(serial.Open());
    // Nobody reads the other side: the line fills up.
    const QByteArray big(1 << 20, 'x');
    const int first = serial.WriteBufferDirect(big.constData(), int(big.size()));
    EXPECT_GT(first, 0);
    EXPECT_LT(first, big.size());  // direct: what the kernel took at once
    // Fill whatever room the pseudo-terminal still makes as it moves bytes along.
    for (int quiet = 0; quiet < 3;) {
        if (serial.WriteBufferDirect(big.constData(), int(big.size())) == 0) {
            ++quiet;
            QThread::msleep(20);
        } else {
            quiet = 0;
        }
    }
    EXPECT_EQ(serial.WriteString("0123456789"), 0);
}

// A pseudo-terminal has no transmit queue to wait on; the scripted device says how many
// bytes the port still holds when the write's time is up.
TEST_F(SerialTransfer, WaitedWriteReturnsWhatLeftThePortAndDropsTheRest) {
    struct Drained {
        int fd;
        int msLeft;
    };
    std::vector<Drained> drains;
    int stuck = 0;
    auto device = std::make_shared<Port::TScriptedDevice>();
    device->Drain = [&](int fd, int msLeft) {
        drains.push_back({fd, msLeft});
        return stuck;
    };
    Port::SetScriptedDeviceForTests(device);
    serial.SetTrmTimeOut(500);
    ASSERT_TRUE(serial.Open());
    EXPECT_EQ(serial.WriteString("N10 G0 X0"), 9);
    ASSERT_EQ(drains.size(), 1u);  // every waited write waits for its bytes to leave
    EXPECT_EQ(drains[0].fd, serial.Handle());
    EXPECT_GT(drains[0].msLeft, 0);
    EXPECT_LE(drains[0].msLeft, 500 + 9 * 2);  // M * N + TrmTimeOut at 4800 bit/s
    EXPECT_EQ(map.ReadMaster(2, 9), "N10 G0 X0");

    stuck = 4;  // flow control held back the last four bytes until the time-out
    EXPECT_EQ(serial.WriteString("N20 G1"), 2);
    serial.SetSyncWait(false);  // direct: handed over is done, nothing is waited for
    EXPECT_EQ(serial.WriteString("N30"), 3);
    EXPECT_EQ(drains.size(), 2u);
    Port::SetScriptedDeviceForTests(nullptr);
}

TEST_F(SerialTransfer, AbortAndCloseEndAWriteThatWaitsForTheMachine) {
    // No write time-out: a write waits as long as the machine takes nothing.
    ASSERT_TRUE(serial.Open());
    const QByteArray big(1 << 20, 'x');
    for (int step = 0; step < 2; ++step) {
        std::atomic<int> result{-1};
        std::thread writer([&] { result = serial.WriteString(big); });
        // The write has begun once bytes reach the other side (on a loaded machine the
        // thread may start late: an abort before its start is not this write's).
        EXPECT_TRUE(PtyPortMap::WaitFor([&] {
            int n = 0;
            return ioctl(master, FIONREAD, &n) == 0 && n > 0;
        }));
        QThread::msleep(100);
        EXPECT_EQ(result.load(), -1) << "the write should wait while nobody reads";
        const auto start = std::chrono::steady_clock::now();
        if (step == 0) {
            EXPECT_TRUE(serial.PurgeBuffers(true, false, true, false));
        } else {
            serial.Close();
        }
        writer.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_GE(result.load(), 0);
        EXPECT_LT(result.load(), big.size());
    }
    EXPECT_FALSE(serial.Active());
    EXPECT_EQ(serial.WriteString("x"), 0);
}

TEST_F(SerialTransfer, PurgeClearsTheReceiveSide) {
    ASSERT_TRUE(serial.Open());
    map.WriteMaster(2, "stale data");
    ASSERT_TRUE(Queued(10));
    EXPECT_TRUE(serial.PurgeBuffers(false, true, false, true));
    EXPECT_EQ(serial.InQueueCount(), 0);
    EXPECT_TRUE(serial.PurgeBuffers(true, false, true, false));
}

TEST_F(SerialTransfer, NullCharsAreDroppedOnlyWhenAsked) {
    serial.SetEliminateNullChar(true);
    ASSERT_TRUE(serial.Open());
    map.WriteMaster(2, QByteArray("a\0b\0c", 5));
    ASSERT_TRUE(Queued(3));
    EXPECT_EQ(serial.ReadString(), "abc");
}

}  // namespace

// Without a handler no event thread watches the port: a write is what finds the device gone
// (the system says EIO), and the port closes as after any loss.
TEST_F(SerialTransfer, WriteToAVanishedDeviceClosesThePort) {
    int lost = 0;
    serial.OnDeviceLost = [&](TSerial*) { ++lost; };
    ASSERT_TRUE(serial.Open());
    ASSERT_FALSE(serial.HasEventThread());
    map.CloseMaster(2);
    EXPECT_EQ(serial.WriteString("G1\r\n"), 0);
    ASSERT_TRUE(PtyPortMap::WaitFor([&] { return lost == 1; }));
    EXPECT_FALSE(serial.Active());
}

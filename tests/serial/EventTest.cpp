// The event thread: dispatch, coalescing, close, hang-up and modem lines.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "serial/Port.h"
#include "serial/Serial.h"
#include "tests/serial/PtyPortMap.h"

namespace {

// Names of the handlers called, in order, from whatever thread.
struct CallLog {
    std::mutex mutex;
    std::vector<std::string> names;
    std::vector<bool> onGuiThread;
    TNotifyHandler Handler(std::string name) {
        return [this, name](TSerial*) {
            std::lock_guard lock(mutex);
            names.push_back(name);
            onGuiThread.push_back(QThread::currentThread() == qApp->thread());
        };
    }
    size_t Count() {
        std::lock_guard lock(mutex);
        return names.size();
    }
    std::vector<std::string> Names() {
        std::lock_guard lock(mutex);
        return names;
    }
};

class SerialEvents : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GE(master, 0);
        serial.SetCOMPort(3);
    }
    // Handlers see the fixture's members, which outlive the event thread: it ends here.
    void TearDown() override {
        release = true;
        serial.Close();
        Port::SetLineStateReaderForTests({});
    }
    PtyPortMap map;
    int master = map.AddPty(3);  // before the component probes
    TSerial serial;
    CallLog log;
    std::atomic<bool> release{false};
    std::atomic<int> calls{0};
    std::mutex lineMutex;
    Port::TLineState scripted;
};

TEST_F(SerialEvents, MaskFollowsTheAssignedHandlers) {
    serial.OnRxChar = log.Handler("rx");
    ASSERT_TRUE(serial.Open());
    EXPECT_EQ(serial.CommMask(), EV_RXCHAR);
    EXPECT_TRUE(serial.HasEventThread());
    serial.Close();
    serial.OnCts = log.Handler("cts");
    serial.OnDsr = log.Handler("dsr");
    ASSERT_TRUE(serial.Open());
    EXPECT_EQ(serial.CommMask(), 0x19u);  // the main window's set
}

TEST_F(SerialEvents, ReceivedBytesCallOnRxCharAndEventChar) {
    serial.SetEventChar('\n');
    serial.OnRxChar = log.Handler("rx");
    serial.OnEventChar = log.Handler("flag");
    ASSERT_TRUE(serial.Open());
    map.WriteMaster(3, "G01");
    ASSERT_TRUE(PtyPortMap::WaitFor([&] { return log.Count() >= 1; }));
    EXPECT_EQ(log.Names()[0], "rx");
    EXPECT_FALSE(log.onGuiThread[0]);  // asynchronous: on the event thread
    EXPECT_EQ(serial.ReadString(), "G01");
    map.WriteMaster(3, "M30\n");
    ASSERT_TRUE(PtyPortMap::WaitFor([&] { return log.Count() >= 3; }));
    EXPECT_EQ(log.Names()[1], "rx");
    EXPECT_EQ(log.Names()[2], "flag");
}

TEST_F(SerialEvents, BytesArrivingDuringAHandlerAreCoalesced) {
    serial.OnRxChar = [&](TSerial*) {
        // Bounded, so a failed assertion below cannot leave the thread stuck here.
        if (calls++ == 0)
            for (int waited = 0; !release && waited < 20000; ++waited) QThread::msleep(1);
    };
    ASSERT_TRUE(serial.Open());
    map.WriteMaster(3, "x");
    ASSERT_TRUE(PtyPortMap::WaitFor([&] { return calls == 1; }));
    for (int i = 0; i < 30; ++i) map.WriteMaster(3, "y");
    QThread::msleep(100);  // let the bytes reach the line discipline
    release = true;
    QByteArray got;
    ASSERT_TRUE(PtyPortMap::WaitFor([&] {
        got += serial.ReadString();
        return got.size() >= 31;
    }));
    EXPECT_EQ(got, "x" + QByteArray(30, 'y'));
    EXPECT_LE(calls.load(), 3);  // not one call per byte
}

TEST_F(SerialEvents, CloseEndsTheThreadWithoutAHandlerCall) {
    serial.OnRxChar = log.Handler("rx");
    serial.OnCts = log.Handler("cts");
    serial.OnTxEmpty = log.Handler("tx");
    ASSERT_TRUE(serial.Open());
    serial.Close();
    EXPECT_FALSE(serial.HasEventThread());
    map.WriteMaster(3, "late");
    QCoreApplication::processEvents();
    EXPECT_EQ(log.Count(), 0u);
}

// Transfers on another thread (a long send does) may wake the event thread at any time:
// while the port opens and closes under them they find it open or closed, never a thread
// half made or half gone.
TEST_F(SerialEvents, TransfersOnAnotherThreadWhileThePortOpensAndCloses) {
    serial.OnRxChar = log.Handler("rx");
    serial.OnTxEmpty = log.Handler("tx");
    serial.SetTrmTimeOut(100);  // a write never waits for long on the unread line
    std::atomic<bool> stop{false};
    std::atomic<int> written{0}, wrong{0};
    std::thread transfers([&] {
        while (!stop.load()) {
            const int n = serial.WriteString("x");
            if (n != 0 && n != 1) ++wrong;
            written += n;
            serial.PurgeBuffers(false, false, true, true);
            if (serial.InQueueCount() < 0) ++wrong;
        }
    });
    for (int k = 0; k < 200; ++k) {
        ASSERT_TRUE(serial.Open()) << serial.LastOpenError().constData();
        serial.Close();
    }
    ASSERT_TRUE(serial.Open());
    ASSERT_TRUE(PtyPortMap::WaitFor([&] { return written.load() > 0; }));
    stop = true;
    transfers.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_TRUE(serial.HasEventThread());
}

TEST_F(SerialEvents, HandlerAssignedAfterOpenWaitsForTheNextOpen) {
    serial.OnCts = log.Handler("cts");
    ASSERT_TRUE(serial.Open());
    serial.OnRxChar = log.Handler("rx");
    map.WriteMaster(3, "abc");
    ASSERT_TRUE(PtyPortMap::WaitFor([&] { return serial.InQueueCount() == 3; }));
    EXPECT_EQ(log.Count(), 0u);
    serial.Close();
    ASSERT_TRUE(serial.Open());
    map.WriteMaster(3, "d");
    EXPECT_TRUE(PtyPortMap::WaitFor([&] { return log.Count() == 1; }));
}

TEST_F(SerialEvents, DisabledEventsAreDroppedNotReplayed) {
    serial.OnRxChar = log.Handler("rx");
    serial.SetEnableEvents(false);
    ASSERT_TRUE(serial.Open());
    map.WriteMaster(3, "abc");
    ASSERT_TRUE(PtyPortMap::WaitFor([&] { return serial.InQueueCount() == 3; }));
    EXPECT_EQ(log.Count(), 0u);
    serial.SetEnableEvents(true);
    map.WriteMaster(3, "d");
    ASSERT_TRUE(PtyPortMap::WaitFor([&] { return log.Count() >= 1; }));
    EXPECT_EQ(serial.ReadString(), "abcd");
}

TEST_F(SerialEvents, SyncEventHandlingRunsOnTheOwnersThread) {
    serial.SetSyncEventHandling(true);
    serial.OnRxChar = [&](TSerial* sender) {
        log.Handler("rx")(sender);
        sender->ReadString();
    };
    ASSERT_TRUE(serial.Open());
    map.WriteMaster(3, "abc");
    ASSERT_TRUE(PtyPortMap::WaitFor([&] { return log.Count() >= 1; }));
    EXPECT_TRUE(log.onGuiThread[0]);
    // Closing while the thread waits for the owner's thread does not hang.
    map.WriteMaster(3, "d");
    ASSERT_TRUE(PtyPortMap::WaitFor([&] { return serial.InQueueCount() == 0; }));
    serial.Close();
    EXPECT_FALSE(serial.HasEventThread());
}

TEST_F(SerialEvents, HangUpStopsTheThreadAndClosesThePort) {
    serial.OnRxChar = log.Handler("rx");
    int lostCalls = 0, lostSignals = 0;
    serial.OnDeviceLost = [&](TSerial* s) {
        ++lostCalls;
        EXPECT_FALSE(s->Active());
    };
    QObject::connect(&serial, &TSerial::DeviceLost, [&] { ++lostSignals; });
    ASSERT_TRUE(serial.Open());
    map.WriteMaster(3, "last words");
    QThread::msleep(50);  // let the bytes cross before the line goes

    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    map.CloseMaster(3);
    QThread::msleep(300);  // a spinning thread would burn all of this
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    auto ms = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000.0 +
               (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000.0;
    };
    EXPECT_LT(ms(after) - ms(before), 100.0);

    // The loss is handled, but the bytes that came before it are still there to read.
    QCoreApplication::processEvents();
    EXPECT_GE(log.Count(), 1u);
    EXPECT_TRUE(serial.Active());
    EXPECT_EQ(serial.ReadString(), "last words");
    ASSERT_TRUE(PtyPortMap::WaitFor([&] { return lostCalls == 1; }));
    EXPECT_EQ(lostSignals, 1);
    EXPECT_FALSE(serial.Active());
    EXPECT_FALSE(serial.HasEventThread());
    EXPECT_EQ(serial.WriteString("x"), 0);
}

TEST_F(SerialEvents, LateLossReportDoesNotCloseTheNextOpen) {
    int lostCalls = 0;
    serial.OnDeviceLost = [&](TSerial*) { ++lostCalls; };
    serial.OnRxChar = log.Handler("rx");
    ASSERT_TRUE(serial.Open());
    map.CloseMaster(3);
    // The loss is noted (the write fails) but its report not yet handled: no event loop.
    int tries = 0;
    while (serial.WriteString("x") != 0 && ++tries < 1000) QThread::msleep(1);
    ASSERT_LT(tries, 1000);
    // The user reopens on a new line before the report of the old one is handled.
    serial.Close();
    map.AddPty(3);
    ASSERT_TRUE(serial.Open()) << serial.LastOpenError().constData();
    for (int i = 0; i < 20; ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(5);
    }
    EXPECT_TRUE(serial.Active());
    EXPECT_EQ(lostCalls, 0);
}

TEST_F(SerialEvents, HandlerMayCloseThePortFromTheEventThread) {
    serial.OnRxChar = [](TSerial* sender) { sender->Close(); };
    ASSERT_TRUE(serial.Open());
    map.WriteMaster(3, "bye");
    ASSERT_TRUE(PtyPortMap::WaitFor([&] { return !serial.Active(); }));
    EXPECT_FALSE(serial.HasEventThread());
    EXPECT_EQ(serial.ReadString(), QByteArray());
    ASSERT_TRUE(PtyPortMap::WaitFor([&] { return serial.Open(); }));  // the port is free again
}

TEST_F(SerialEvents, ModemLinesOfAScriptedDeviceDispatchInTableOrder) {
    Port::SetLineStateReaderForTests([&](int, Port::TLineState& s) {
        std::lock_guard lock(lineMutex);
        s = scripted;
        return true;
    });
    serial.OnRxChar = log.Handler("rx");
    serial.OnTxEmpty = log.Handler("tx");
    serial.OnDcd = log.Handler("dcd");
    serial.OnRing = log.Handler("ring");
    serial.OnError = log.Handler("err");
    serial.OnDsr = log.Handler("dsr");
    serial.OnCts = log.Handler("cts");
    serial.OnBreak = log.Handler("break");
    ASSERT_TRUE(serial.Open());
    {
        std::lock_guard lock(lineMutex);
        scripted.Modem = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG;
        scripted.Brk = 1;
        scripted.Frame = 1;
    }
    ASSERT_TRUE(PtyPortMap::WaitFor([&] { return log.Count() >= 6; }));
    EXPECT_EQ(log.Names(), (std::vector<std::string>{"break", "cts", "dsr", "err", "ring", "dcd"}));
    {
        std::lock_guard lock(lineMutex);
        scripted.Modem = TIOCM_DSR | TIOCM_CAR | TIOCM_RNG;  // CTS drops
    }
    ASSERT_TRUE(PtyPortMap::WaitFor([&] { return log.Count() >= 7; }));
    EXPECT_EQ(log.Names()[6], "cts");
    serial.WriteString("x");
    ASSERT_TRUE(PtyPortMap::WaitFor([&] { return log.Count() >= 8; }));
    EXPECT_EQ(log.Names()[7], "tx");
}

}  // namespace

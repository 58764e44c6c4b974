// Benchmarks of the transfers through the real main window (offscreen) over a pseudo-terminal,
// the machine's side read by a thread as fast as it comes. One measurement a run, so that
// the peak memory the kernel reports (VmHWM) is that measurement's own.
//
//   send-bench speed [lines]       a call for a program of `lines` (100,000) lines, dwell 0:
//                                  time from the call to the last byte, beside a minimal
//                                  loop that writes each line and CR LF with write(); and
//                                  the time from the call to the first byte
//   send-bench memory [lines]      peak memory while a call for `lines` (1,000,000) is served
//   send-bench receive [megabytes] peak memory and time while a program of that size is
//                                  received and saved
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "common/Modal.h"
#include "mainwindow/Unit1.h"
#include "serial/Serial.h"
#include "tests/common/TestPty.h"

namespace {

using Clock = std::chrono::steady_clock;

void Write(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::exit(1);
    }
    f.write(bytes);
}

// Peak resident memory of this process so far, in MB.
double PeakMb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    }
    return -1;
}

QByteArray Line(int k) {
    return "N" + QByteArray::number(k) + " G1 X" + QByteArray::number(k % 500) + ".123 Y" +
           QByteArray::number(k % 300) + ".456 F1200";
}

// Runs the event loop like the program does: sleeping until something happens (a tick every
// few milliseconds lets the caller look at its condition). Spinning here would take a core
// from the transfer being measured.
void WaitForEvents() {
    static QTimer* tick = [] {
        auto* t = new QTimer;
        t->start(10);
        return t;
    }();
    (void)tick;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// The machine's end of a pseudo-terminal, read all the time by a thread.
struct Machine {
    TestPty line;
    const int master = line.Master();
    const char* name = line.Path().constData();
    std::atomic<qint64> received{0};
    std::atomic<qint64> firstByteNs{0};
    std::atomic<qint64> lastByteNs{0};
    std::atomic<bool> stop{false};
    std::thread reader;

    Machine() {
        if (!line.Ok()) std::exit(1);
        line.Raw();
        reader = std::thread([this] {
            char buf[65536];
            while (!stop) {
                pollfd p{master, POLLIN, 0};
                if (::poll(&p, 1, 20) <= 0) continue;
                const ssize_t n = ::read(master, buf, sizeof buf);
                if (n <= 0) continue;
                if (received == 0) {
                    firstByteNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      Clock::now().time_since_epoch())
                                      .count();
                }
                received += n;
                lastByteNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 Clock::now().time_since_epoch())
                                 .count();
            }
        });
    }
    ~Machine() {
        stop = true;
        reader.join();
    }
    void Reset() {
        received = 0;
        firstByteNs = 0;
    }
};

// A workspace with Config.ini, the log, SerDemo.ini and COM1 linked to the machine's line.
void Workspace(const QTemporaryDir& dir, const Machine& machine) {
    QDir::setCurrent(dir.path());
    QDir().mkpath("send");
    QDir().mkpath("save");
    Write("send/DNC.log", "");
    Write("Config.ini",
          "Config.ini=13\r\na\r\nb\r\nc\r\nExt=CNC\r\nLog=DNC\r\nAK=O\r\nEnd=M30\r\n"
          "Com=bench\r\nPrgAK=Prg\r\nTimer=0\r\nSend=send\r\nSave=save\r\n");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path()));
    QDir().mkpath("dnc-server/ports");
    Write("dnc-server/SerDemo.ini",
          "[SerBsp1]\r\nConfiguration=RRS000107400000020480000204810000017019000016000000040006"
          "3026010000000000000000000001000108\r\n");
    if (!machine.line.MapAs(dir.path(), 1)) std::exit(1);
    EnsurePortsProbed(8);
}

// What a plain sender does: each line, then CR LF, with write().
double MinimalLoopMs(Machine& machine, const QList<QByteArray>& lines, qint64 expected) {
    const int fd = ::open(machine.name, O_RDWR | O_NOCTTY);
    machine.Reset();
    const auto start = Clock::now();
    for (const QByteArray& line : lines) {
        if (::write(fd, line.constData(), size_t(line.size())) != line.size()) std::exit(1);
        if (::write(fd, "\r\n", 2) != 2) std::exit(1);
    }
    while (machine.received < expected) std::this_thread::sleep_for(std::chrono::microseconds(50));
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    ::close(fd);
    return ms;
}

struct Served {
    double ms = 0;
    double firstByteMs = 0;
    bool whole = false;
};

Served AnswerCall(Machine& machine, TForm1& form, qint64 expected) {
    machine.Reset();
    const QByteArray call = "%Prg\r\nO4711\r\nM30\r\n";
    const auto start = Clock::now();
    if (::write(machine.master, call.constData(), size_t(call.size())) != call.size()) std::exit(1);
    QElapsedTimer guard;
    guard.start();
    while ((machine.received < expected || form.Engine->Busy()) && guard.elapsed() < 1200000) {
        WaitForEvents();
    }
    Served s;
    const qint64 startNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()).count();
    s.ms = (machine.lastByteNs - startNs) / 1e6;
    s.firstByteMs = (machine.firstByteNs - startNs) / 1e6;
    s.whole = machine.received == expected && form.Engine->PrgCount >= 1;
    return s;
}

int Speed(int lines) {
    QTemporaryDir dir;
    Machine machine;
    Workspace(dir, machine);
    QList<QByteArray> table;
    QByteArray program;
    qint64 expected = 0;
    for (int k = 1; k <= lines; ++k) {
        table.append(Line(k));
        program += table.last() + "\r\n";
        expected += table.last().size() + 2;
    }
    Write("4711.CNC", program);

    TForm1 form;
    if (!form.Serial1->Active()) return 1;
    // A first call warms the caches; then the two are timed in turn, three times each.
    AnswerCall(machine, form, expected);
    double best = 1e18, bestLoop = 1e18, firstByte = 1e18;
    bool whole = true;
    for (int round = 0; round < 5; ++round) {
        bestLoop = std::min(bestLoop, MinimalLoopMs(machine, table, expected));
        const Served s = AnswerCall(machine, form, expected);
        whole = whole && s.whole;
        best = std::min(best, s.ms);
        firstByte = std::min(firstByte, s.firstByteMs);
    }
    std::printf("speed: %d lines, %lld bytes, dwell 0\n", lines, static_cast<long long>(expected));
    std::printf("  server, call to last byte:   %8.1f ms (best of 5)%s\n", best,
                whole ? "" : "  INCOMPLETE");
    std::printf("  minimal write() loop:        %8.1f ms (best of 5)\n", bestLoop);
    std::printf("  server rate / loop rate:     %8.2f\n", bestLoop / best);
    std::printf("  call to first byte:          %8.1f ms (best of 5)\n", firstByte);
    return whole ? 0 : 1;
}

int Memory(int lines) {
    QTemporaryDir dir;
    Machine machine;
    Workspace(dir, machine);
    qint64 expected = 0;
    {
        QFile f("4711.CNC");
        if (!f.open(QIODevice::WriteOnly)) return 1;
        for (int k = 1; k <= lines; ++k) {
            const QByteArray line = Line(k) + "\r\n";
            f.write(line);
            expected += line.size();
        }
    }
    const double before = PeakMb();
    TForm1 form;
    if (!form.Serial1->Active()) return 1;
    const double window = PeakMb();
    const Served s = AnswerCall(machine, form, expected);
    form.FlushMemos();
    std::printf("memory: a call for %d lines (%.1f MB)%s\n", lines, expected / 1e6,
                s.whole ? "" : "  INCOMPLETE");
    std::printf("  peak before the window:      %8.1f MB\n", before);
    std::printf("  peak with the window:        %8.1f MB\n", window);
    std::printf("  peak after serving the call: %8.1f MB (%.1f s)\n", PeakMb(), s.ms / 1000);
    return s.whole ? 0 : 1;
}

int Receive(int megabytes) {
    QTemporaryDir dir;
    Machine machine;
    Workspace(dir, machine);
    // The program lies in a file the machine streams from: its bytes are not this process's
    // memory, so the peak is the server's.
    qint64 size = 0;
    {
        QFile f("machine.nc");
        if (!f.open(QIODevice::WriteOnly)) return 1;
        size += f.write("%\r\n(DFS,BIG,)\r\n");
        for (int k = 1; size < qint64(megabytes) * 1000 * 1000; ++k)
            size += f.write(Line(k) + "\r\n");
        size += f.write("M30\r\n");
    }

    TForm1 form;
    if (!form.Serial1->Active()) return 1;
    const double window = PeakMb();
    const auto start = Clock::now();
    // The machine sends as fast as the line takes it, in the background.
    std::thread sender([&] {
        QFile f("machine.nc");
        if (!f.open(QIODevice::ReadOnly)) return;
        char buf[4096];
        for (qint64 n; (n = f.read(buf, sizeof buf)) > 0;) {
            for (qint64 done = 0; done < n;) {
                const ssize_t w = ::write(machine.master, buf + done, size_t(n - done));
                if (w > 0)
                    done += w;
                else
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
    });
    QElapsedTimer guard;
    guard.start();
    while ((form.Engine->PrgCount < 1 || form.Engine->Busy()) && guard.elapsed() < 600000) {
        WaitForEvents();
    }
    sender.join();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const bool whole = QFile("save/BIG.CNC").size() == size + 2;
    std::printf("receive: %d MB program%s\n", megabytes, whole ? "" : "  NOT SAVED WHOLE");
    std::printf("  time to receive and save:    %8.1f ms\n", ms);
    std::printf("  peak with the window:        %8.1f MB\n", window);
    std::printf("  peak after saving:           %8.1f MB\n", PeakMb());
    return whole ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::string mode = argc > 1 ? argv[1] : "speed";
    const int amount = argc > 2 ? std::atoi(argv[2]) : 0;
    if (mode == "speed") return Speed(amount > 0 ? amount : 100000);
    if (mode == "memory") return Memory(amount > 0 ? amount : 1000000);
    if (mode == "receive") return Receive(amount > 0 ? amount : 10);
    std::fprintf(stderr, "usage: send-bench speed|memory|receive [amount]\n");
    return 2;
}

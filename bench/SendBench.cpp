// Benchmark: a call for a program of 100,000 lines, answered by the real main window
// (offscreen) over a pseudo-terminal, dwell 0. Prints the time from the call to the last
// byte at the machine. Usage: send-bench [lines]
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <cstdio>
#include <thread>

#include "common/Modal.h"
#include "mainwindow/Unit1.h"
#include "serial/Serial.h"

namespace {

void Write(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::exit(1);
    }
    f.write(bytes);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int lines = argc > 1 ? std::atoi(argv[1]) : 100000;

    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    QDir().mkpath("send");
    Write("send/DNC.log", "");
    Write("Config.ini", "Config.ini=13\r\na\r\nb\r\nc\r\nExt=CNC\r\nLog=DNC\r\nAK=O\r\nEnd=M30\r\n"
                        "Com=bench\r\nPrgAK=Prg\r\nTimer=0\r\nSend=send\r\nSave=save\r\n");
    QByteArray program;
    qsizetype expected = 0;
    for (int k = 1; k <= lines; ++k) {
        const QByteArray line = "N" + QByteArray::number(k) + " G1 X" + QByteArray::number(k % 500) +
                                ".123 Y" + QByteArray::number(k % 300) + ".456 F1200";
        program += line + "\r\n";
        expected += line.size() + 2;
    }
    Write("4711.CNC", program);

    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path()));
    QDir().mkpath("dnc-server/ports");
    Write("dnc-server/SerDemo.ini",
          "[SerBsp1]\r\nConfiguration=RRS000107400000020480000204810000017019000016000000040006"
          "3026010000000000000000000001000108\r\n");
    int master = -1, slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return 1;
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    if (::symlink(name, "dnc-server/ports/COM1") != 0) return 1;
    EnsurePortsProbed(8);

    TForm1 form;
    if (!form.Serial1->Active()) {
        std::fprintf(stderr, "port did not open\n");
        return 1;
    }
    std::atomic<qsizetype> received{0};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        char buf[65536];
        while (!stop) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) received += n;
        }
    });

    QElapsedTimer clock;
    clock.start();
    const QByteArray call = "%Prg\r\nO4711\r\nM30\r\n";
    if (::write(master, call.constData(), size_t(call.size())) != call.size()) return 1;
    while (received < expected && clock.elapsed() < 600000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    const qint64 ms = clock.elapsed();
    stop = true;
    reader.join();
    std::printf("%d lines, %lld bytes: %lld ms (%.0f lines/s)%s\n", lines,
                static_cast<long long>(received.load()), static_cast<long long>(ms),
                ms > 0 ? lines * 1000.0 / ms : 0.0, received == expected ? "" : "  INCOMPLETE");
    ::close(slave);
    ::close(master);
    return received == expected ? 0 : 1;
}

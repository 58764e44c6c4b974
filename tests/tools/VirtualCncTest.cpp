// The virtual CNC over a real pseudo-terminal: the test holds the server's end of the line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>

namespace {

class ServerEnd {
  public:
    explicit ServerEnd(const QString& link) {
        // The tool creates the link once its line exists.
        for (int i = 0; i < 500 && !QFileInfo::exists(link); ++i) QThread::msleep(10);
        fd_ = ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY);
        if (fd_ >= 0) {
            termios t{};
            ::tcgetattr(fd_, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~ServerEnd() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    // Reads until `count` bytes came or the line stays silent for two seconds.
    QByteArray Read(int count) {
        QByteArray got;
        while (got.size() < count) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0) break;
            char buf[256];
            const ssize_t n = ::read(fd_, buf, std::min<size_t>(sizeof buf, count - got.size()));
            if (n <= 0) break;
            got.append(buf, n);
        }
        return got;
    }
    void Write(const QByteArray& data) {
        ASSERT_EQ(::write(fd_, data.constData(), data.size()), data.size());
    }

  private:
    int fd_ = -1;
};

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

}  // namespace

TEST(VirtualCncOverPty, SendsCallAndFileThenReceivesUpToTheEndLine) {
    QTemporaryDir dir;
    const QString link = dir.filePath("COM1");
    const QString out = dir.filePath("answer.txt");
    static const char kProgram[] = "%\r\n(DFS,P4711,)\r\nN10 G0 X0\0\xFF\r\nM30\r\n";
    const QByteArray program(kProgram, sizeof kProgram - 1);
    {
        QFile f(dir.filePath("prog.nc"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(program);
    }
    QProcess cnc;
    cnc.start(VIRTUAL_CNC, {"--link", link, "--rate", "115200", "--chunk", "5", "--prg-ak", "Prg",
                            "--ak", "O", "--call", "2507", "--send", dir.filePath("prog.nc"),
                            "--receive", out, "--idle-ms", "3000"});
    ASSERT_TRUE(cnc.waitForStarted());
    ServerEnd server(link);
    ASSERT_TRUE(server.ok());

    const QByteArray call = "%Prg\r\nO2507\r\nM30\r\n";
    EXPECT_EQ(server.Read(call.size()), call);
    EXPECT_EQ(server.Read(program.size()), program);

    // An end word in lower case inside a longer word; the text after its line is not kept.
    const QByteArray answer = "%\r\nN10 X1\r\nN20 m300 ende\r\n";
    server.Write(answer + "N30 next");
    ASSERT_TRUE(cnc.waitForFinished(10000));
    EXPECT_EQ(cnc.exitCode(), 0);
    EXPECT_EQ(ReadAll(out), answer);
    EXPECT_FALSE(QFileInfo::exists(link)) << "link left behind";
}

TEST(VirtualCncOverPty, ReceiveWithoutEndWordKeepsTheBytesAndSaysSo) {
    QTemporaryDir dir;
    const QString link = dir.filePath("COM2");
    const QString out = dir.filePath("partial.txt");
    QProcess cnc;
    cnc.start(VIRTUAL_CNC,
              {"--link", link, "--receive", out, "--idle-ms", "300", "--timeout-ms", "30000"});
    ASSERT_TRUE(cnc.waitForStarted());
    ServerEnd server(link);
    ASSERT_TRUE(server.ok());
    server.Write("N10 M3");
    ASSERT_TRUE(cnc.waitForFinished(10000));
    EXPECT_EQ(cnc.exitCode(), 3);
    EXPECT_EQ(ReadAll(out), "N10 M3");
}

#pragma once
// A small tmpfs mounted for a test and unmounted on every way out: a disk that fills up.
// Mounting needs root; where it is not permitted, Mounted() is false and the test skips.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

class SmallDisk {
  public:
    explicit SmallDisk(const QString& path) : path_(QFile::encodeName(path)) {
        QDir().mkpath(path);
        mounted_ = ::mount("tmpfs", path_.constData(), "tmpfs", 0, "size=64k") == 0;
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(path_.constData(), MNT_DETACH);
    }
    bool Mounted() const { return mounted_; }
    // Fills the disk to the last byte with a file of its own.
    void Fill() {
        QFile filler(QFile::decodeName(path_) + "/filler");
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
        const QByteArray block(512, 'F');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
        filler.close();
    }
    void Free() { QFile::remove(QFile::decodeName(path_) + "/filler"); }

  private:
    QByteArray path_;
    bool mounted_ = false;
};

#pragma once
// A folder in which no file can be made, renamed or removed, even by root, while the files
// in it stay writable: the immutable flag of the file system. It stands for a folder the
// user may not write to, which a test running as root cannot have otherwise.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QFile>
#include <QString>

class ImmutableFolder {
  public:
    explicit ImmutableFolder(const QString& path)
        : fd_(::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_ < 0 || ::ioctl(fd_, FS_IOC_GETFLAGS, &flags_) != 0) return;
        int set = flags_ | FS_IMMUTABLE_FL;
        set_ = ::ioctl(fd_, FS_IOC_SETFLAGS, &set) == 0;
    }
    ~ImmutableFolder() { Release(); }
    // False where the file system or the test's rights do not allow it: the test skips.
    bool Set() const { return set_; }
    void Release() {
        if (set_) ::ioctl(fd_, FS_IOC_SETFLAGS, &flags_);
        set_ = false;
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
    int flags_ = 0;
    bool set_ = false;
};

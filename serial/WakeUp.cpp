#include "serial/WakeUp.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QtGlobal>

TWakeUp::TWakeUp() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

TWakeUp::~TWakeUp() {
    if (fd_ >= 0) close(fd_);
}

void TWakeUp::Ring() {
    // The flag goes up after the write: a Quiet in between would otherwise take the flag,
    // read nothing, and leave the descriptor readable for every later poll.
    const quint64 one = 1;
    if (fd_ >= 0) [[maybe_unused]]
        ssize_t n = write(fd_, &one, sizeof one);
    rung_ = true;
}

void TWakeUp::Quiet() {
    if (!rung_.exchange(false)) return;
    quint64 count;
    if (fd_ >= 0) [[maybe_unused]]
        ssize_t n = read(fd_, &count, sizeof count);
}

#pragma once
// A wake-up descriptor that a waiting transfer polls beside its device: rung by an abort or
// a close, quieted by the transfer that woke. It remembers whether it was rung, so that a
// transfer that nobody woke costs no system call for it.
#include <atomic>

class TWakeUp {
  public:
    TWakeUp();
    ~TWakeUp();
    TWakeUp(const TWakeUp&) = delete;
    TWakeUp& operator=(const TWakeUp&) = delete;

    // The descriptor to poll for POLLIN; -1 when none could be made.
    int Handle() const { return fd_; }
    void Ring();
    void Quiet();

  private:
    int fd_ = -1;
    std::atomic<bool> rung_{false};
};

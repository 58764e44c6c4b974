#include "engine/SendJob.h"

#include <algorithm>
#include <chrono>

#include "serial/Serial.h"

namespace {

// A write that returns at once without taking a byte (no write time-out, direct writes) is
// tried again after this pause, so that a stalled line costs no CPU.
constexpr int kRetryMs = 20;

}  // namespace

TSendJob::TSendJob(TSerial* serial, std::shared_ptr<const TSendTable> table, int first, int last,
                   int dwellMs, QByteArray lineEnd, std::function<void()> finished)
    : serial_(serial),
      table_(std::move(table)),
      first_(first),
      last_(last),
      dwellMs_(dwellMs),
      lineEnd_(std::move(lineEnd)),
      onFinished_(std::move(finished)) {
    thread_ = std::thread([this] { Run(); });
}

TSendJob::~TSendJob() {
    Abort();
    if (thread_.joinable()) thread_.join();
}

void TSendJob::Abort() {
    {
        std::lock_guard lock(mutex_);
        aborted_ = true;
    }
    abortFlag_ = true;
    wake_.notify_all();
}

bool TSendJob::Pause(int ms) {
    std::unique_lock lock(mutex_);
    return !wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return aborted_; });
}

bool TSendJob::VerweilZeit() {
    if (dwellMs_ <= 0) return !abortFlag_;
    return Pause(dwellMs_);
}

bool TSendJob::Put(const QByteArray& bytes, qsizetype lineLength) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        if (abortFlag_) {
            end_ = TSendEnd::Aborted;
            return false;
        }
        const int n = serial_->WriteString(done == 0 ? bytes : bytes.mid(done));
        done += n;
        bytesDone_ += n;
        if (done - n < lineLength) lineBytesDone_ += std::min(done, lineLength) - (done - n);
        if (done >= bytes.size()) break;
        if (abortFlag_) {
            end_ = TSendEnd::Aborted;
            return false;
        }
        if (!serial_->Active()) {
            end_ = TSendEnd::Closed;
            return false;
        }
        // The machine takes nothing for now: wait, then go on with the byte after the last
        // one that left.
        if (n == 0 && !Pause(kRetryMs)) {
            end_ = TSendEnd::Aborted;
            return false;
        }
    }
    return true;
}

void TSendJob::Run() {
    QByteArray line;
    for (int k = first_; k <= last_; ++k) {
        if (!VerweilZeit()) {
            end_ = TSendEnd::Aborted;
            break;
        }
        // The line and its line end in one write: the same bytes and the same pause before the
        // line, at half the system calls.
        const QByteArray text = table_->LineView(k);
        line.resize(0);
        line.append(text).append(lineEnd_);
        if (!Put(line, text.size())) break;
        linesDone_ = k - first_ + 1;
    }
    finished_ = true;
    if (onFinished_) onFinished_();
}

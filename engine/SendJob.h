#pragma once
// One send on a thread of its own, so that the window stays alive however long the machine
// takes: for each line the dwell, then the line and its line end (CR LF unless the machine
// takes another), written with WriteString, which
// returns when the bytes have left the port (a tty's transmit queue is empty; on a device
// server's line the last byte has had its time). So a line counts as done when the machine
// has it, and a cut send names the last line it got, within one (on a device server's line,
// what the device server itself still held when it died is not known here). A write the machine
// does not take whole (it stopped reading, flow control holds the line, the write time-out passed)
// is continued where it stopped: a stall waits, it never cuts. Only an abort, a closed port or a
// lost device end the send early.
#include <QByteArray>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/SendTable.h"

class TSerial;

enum class TSendEnd {
    Complete,  // every line went out whole
    Aborted,   // the operator's "Abbruch Senden"
    Closed,    // the port was closed (or lost) under the send
};

class TSendJob {
  public:
    // Sends lines first..last of table. finished runs on the job's thread when it has ended.
    TSendJob(TSerial* serial, std::shared_ptr<const TSendTable> table, int first, int last,
             int dwellMs, QByteArray lineEnd, std::function<void()> finished);
    // Aborts the send if it still runs and waits for its end.
    ~TSendJob();

    TSendJob(const TSendJob&) = delete;
    TSendJob& operator=(const TSendJob&) = delete;

    // No further line or byte goes out; a dwell or a waiting write ends at once (the caller
    // purges the port, which ends the write).
    void Abort();

    int First() const { return first_; }
    int Last() const { return last_; }
    // Lines gone out whole, and bytes of the send gone out (lines and line ends).
    int LinesDone() const { return linesDone_.load(); }
    qint64 BytesDone() const { return bytesDone_.load(); }
    // Bytes of the lines alone that went out (the manual send counts these).
    qint64 LineBytesDone() const { return lineBytesDone_.load(); }
    bool Finished() const { return finished_.load(); }
    // Valid once Finished().
    TSendEnd End() const { return end_; }

  private:
    void Run();
    // The dwell before a line; false when the send was aborted meanwhile.
    bool VerweilZeit();
    // Writes bytes whole, continuing after a write that stopped short; the first lineLength
    // bytes count as line bytes. False when the send must end.
    bool Put(const QByteArray& bytes, qsizetype lineLength);
    // Waits ms (or until an abort); false when aborted.
    bool Pause(int ms);

    TSerial* serial_;
    std::shared_ptr<const TSendTable> table_;
    const int first_;
    const int last_;
    const int dwellMs_;
    const QByteArray lineEnd_;
    std::function<void()> onFinished_;

    std::atomic<int> linesDone_{0};
    std::atomic<qint64> bytesDone_{0};
    std::atomic<qint64> lineBytesDone_{0};
    std::atomic<bool> finished_{false};
    TSendEnd end_ = TSendEnd::Complete;

    std::mutex mutex_;
    std::condition_variable wake_;
    bool aborted_ = false;  // under mutex_
    std::atomic<bool> abortFlag_{false};

    std::thread thread_;
};

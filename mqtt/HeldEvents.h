#pragma once
// Events that wait while the broker is away, in order and up to a bound: beyond it the
// oldest go, counted by machine, so that the gap can be said when the broker is back.
#include <QByteArray>
#include <QHash>
#include <QString>
#include <deque>

class THeldEvents {
  public:
    struct TEvent {
        QString machine;
        QByteArray payload;
    };

    explicit THeldEvents(size_t bound) : bound_(bound) {}

    void Push(const QString& machine, const QByteArray& payload) {
        events_.push_back({machine, payload});
        if (events_.size() <= bound_) return;
        ++dropped_[events_.front().machine];
        events_.pop_front();
    }
    bool Empty() const { return events_.empty(); }
    const TEvent& Front() const { return events_.front(); }
    void Pop() { events_.pop_front(); }
    // How many of each machine's events were dropped since the last call.
    QHash<QString, qint64> TakeDropped() { return std::exchange(dropped_, {}); }

  private:
    size_t bound_;
    std::deque<TEvent> events_;
    QHash<QString, qint64> dropped_;
};

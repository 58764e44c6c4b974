#pragma once
// What the benches read of a process and of their samples.
#include <QByteArray>
#include <QList>
#include <QString>
#include <algorithm>
#include <vector>

#include "tests/common/TestFiles.h"

namespace bench {

// A field of /proc/PID/status ("VmRSS", "VmHWM"), as written there.
inline QByteArray StatusField(qint64 pid, const QByteArray& name) {
    for (const QByteArray& line :
         test_files::ReadFile(QString("/proc/%1/status").arg(pid)).split('\n')) {
        if (line.startsWith(name + ":")) return line.mid(name.size() + 1).simplified();
    }
    return "?";
}

// user + system CPU time of a process in clock ticks.
inline long CpuTicks(qint64 pid) {
    const QList<QByteArray> f = test_files::ReadFile(QString("/proc/%1/stat").arg(pid)).split(' ');
    return f.size() > 15 ? f[13].toLong() + f[14].toLong() : -1;
}

inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace bench

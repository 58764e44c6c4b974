#pragma once
// Reading the transfer log for the readers (the web page, the broker bridge): the last
// entries of the file, each split into its text and its time stamp, and what an entry tells. Pure
// except TailEntries, which reads the file without a lock (the server's lock is exclusive and must
// never find the file held by a reader).
#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace LogEntries {

// {"entry": text, "time": "yyyy-MM-ddTHH:mm:ss" or null}, from one entry as written (without
// CR LF): the time stamp " ddd d. mmm. yyyy, hh:mm:ss: " at its end is taken off and read
// with the month names of the system's locale, German or English. An entry without a stamp
// is all text.
QJsonObject Parse(const QString& line);

// A sent or saved program, or a send that did not end.
bool IsTransfer(const QString& line);

// What an entry (its text, without the stamp) tells: its kind, "sent", "aborted" (a send that
// did not end), "saved", "notSaved", "incomplete" (a reception that did not end), "lost" (the
// device went away), "reopened" (and came back) or "log" (anything else); and the program's
// file name, empty when it names none.
struct TKind {
    QString kind;
    QString program;
};
TKind Kind(const QString& entry);

// The last limit entries of the log file (oldest first), decoded from Windows-1252. A last
// line without its CR LF is still being written and is left out.
QStringList TailEntries(const QString& path, int limit);

}  // namespace LogEntries

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

// What an entry (its text, without the stamp) tells: its kind, "sent", "aborted" (a send that
// did not end), "saved", "notSaved", "incomplete" (a reception that did not end), "lost" (the
// device went away), "reopened" (and came back) or "log" (anything else); and the program's
// file name, empty when it names none.
struct TKind {
    QString kind;
    QString program;
};
TKind Kind(const QString& entry);

// The transfer an entry's text tells of, as "Zuletzt" shows it: {program, direction
// ("gesendet" or "empfangen"), result ("vollständig", "gespeichert", "abgebrochen nach Zeile
// 7 von 90 (Web: anna)", "nicht gespeichert (...)", "unvollständig (...)")}; empty for any
// other entry.
QJsonObject Transfer(const QString& text);

// One entry as written (with its stamp) tells of a transfer.
bool IsTransfer(const QString& line);

// text without the server's folders: a path in one of folders (the longest that holds it)
// becomes relative to it. An entry names the save folder's programs by their names, the
// machine folder's files relative to it.
QString Relative(const QString& text, QStringList folders);

// The last limit entries of the log file (oldest first), decoded from Windows-1252. A last
// line without its CR LF is still being written and is left out.
QStringList TailEntries(const QString& path, int limit);

}  // namespace LogEntries

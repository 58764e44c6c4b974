#pragma once
// The transfer log: one entry per start, menu exit, sent and saved program, appended to
// CfgSend + "/" + CfgLog + ".log". The rules that are pure text are free functions.
#include <QByteArray>
#include <QDateTime>
#include <QLocale>
#include <QString>

// " ddd d. mmm. yyyy, hh:mm:ss: " with the locale's abbreviated day and month names; every
// colon, the one after the seconds too, is the locale's time separator. In Windows-1252.
QByteArray LogTimeStamp(const QDateTime& when, const QLocale& locale);

// The whole entry: text, time stamp, CR LF.
QByteArray LogEntry(const QByteArray& text, const QDateTime& when, const QLocale& locale);

// A system byte string as a path for the file functions.
QString LogPath(const QByteArray& name);

// Appends entry to the file at path with one write, then fdatasync and close. The file is
// held exclusively meanwhile: if another opener holds it, nothing is written. A write that
// does not take the whole entry (a full disk) is cut back to the file's old length, so the
// entry is in the file whole or not at all. With create the file is made when missing.
// Throws FileError naming the step and the reason.
void AppendLogEntry(const QString& path, const QByteArray& entry, bool create);

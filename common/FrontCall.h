#pragma once
// What the processes beside the instances (the web front, the bridge) share on their command
// line: the default root, their journal on standard error, and how a wrong call is said.
#include <QByteArray>
#include <QString>

inline constexpr char kDefaultRoot[] = "/srv/dnc";

// A line in the journal (standard error).
void Say(const QString& text);
// Says "dnc-server: " and what is wrong, then the usage text.
void SayWrongCall(const QString& text, const QByteArray& usage);
// True, and said, when root is no folder.
bool RootMissing(const QString& root);

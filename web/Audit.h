#pragma once
// Who did what through the web front: one line each in its journal (standard error, which
// systemd keeps), "2026-12-09 07:05:09 Hochgeladen: Benutzer meister, Adresse 10.0.0.7,
// fraese1/1234.CNC". Logins, failed logins and every change of a program or a send.
#include <QByteArray>
#include <QString>

namespace Audit {

// what: "Anmeldung", "Anmeldung fehlgeschlagen", "Hochgeladen", ...; object: what it acted
// on (machine/program), may be empty.
void Say(const QString& what, const QString& user, const QByteArray& address,
         const QString& object = {});

// text as one line of the journal may hold it: control characters and bidirectional
// overrides as \uXXXX, at most 100 characters (a failed login's name is anybody's text).
QString Printable(const QString& text);

}  // namespace Audit

#pragma once
// The command line of dnc-server as --help shows it, with every exit status.
#include <QByteArray>

// Windows-1252, like every text of the system.
QByteArray UsageText();

#pragma once
// Every test process runs with a home and a config folder of its own, and with the default
// devices of COMn switched off: a port a test has not mapped leads nowhere, never to a
// device of the machine. Processes the tests start (the server, the virtual CNC) inherit it.
#include <QByteArray>
#include <QDir>
#include <QTemporaryDir>

class TestHome {
  public:
    TestHome() {
        const QByteArray home = QFile::encodeName(dir_.path());
        QDir().mkpath(dir_.filePath(QStringLiteral(".config")));
        qputenv("HOME", home);
        qputenv("XDG_CONFIG_HOME", home + "/.config");
        // Port::kNoDefaultsVariable
        qputenv("DNC_NO_DEFAULT_PORTS", "1");
    }

  private:
    QTemporaryDir dir_;
};

#include "service/Service.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <cstdio>
#include <cstring>

#include "common/Ansi.h"
#include "common/HandlerGuard.h"
#include "config/ConfigFile.h"
#include "config/ConfigValues.h"
#include "config/Konfig.h"
#include "engine/IniFile.h"
#include "engine/LogFile.h"
#include "engine/SendTable.h"
#include "engine/SerialSettings.h"
#include "engine/TransferEngine.h"
#include "engine/TransferRules.h"
#include "serial/Port.h"
#include "serial/PortError.h"
#include "serial/Serial.h"
#include "status/StatusPublisher.h"

namespace {

// Signals reach the event loop through a pipe: the handler only writes the signal number.
int signalPipe[2] = {-1, -1};

void OnPosixSignal(int number) {
    const char byte = static_cast<char>(number);
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &byte, 1);
}

// A journal line: received text shows its beginning only, so that noise on the line
// cannot fill the journal (a trace line may carry 64 KiB of it).
constexpr qsizetype kJournalChars = 300;

QByteArray OneLine(QByteArray text) {
    text = TransferRules::ForTrace(text, kJournalChars);
    text.replace("\r\n", " / ").replace('\r', " / ").replace('\n', " / ");
    return text;
}

}  // namespace

void ServiceLine(const QByteArray& text) {
    const QByteArray stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toLatin1();
    const QByteArray line = stamp + " " + Ansi::ToQString(OneLine(text)).toUtf8() + "\n";
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

QByteArray StartFileProblem(const QString& path, bool forWriting) {
    const QByteArray local = QFile::encodeName(path);
    struct stat st {};
    if (::stat(local.constData(), &st) != 0) {
        return errno == ENOENT ? QByteArray() : QByteArray(std::strerror(errno));
    }
    if (S_ISDIR(st.st_mode)) return "ist ein Ordner";
    const int fd = ::open(local.constData(), (forWriting ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    ::close(fd);
    return {};
}

// ---- the seam that waits for nobody ------------------------------------------------------

Modal::Answer TServiceSeam::ShowBox(QWidget*, const Modal::Box& box) {
    ServiceLine(Ansi::Lit("Meldung: ") + box.text);
    if (box.kind == Modal::BoxKind::Question) {
        ServiceLine(Ansi::Lit("Antwort ohne Bediener: Nein"));
        return Modal::Answer::No;
    }
    return Modal::Answer::Ok;
}

QByteArray TServiceSeam::InputBox(QWidget*, const QByteArray& caption, const QByteArray&,
                                  const QByteArray& initial, bool* accepted) {
    ServiceLine(Ansi::Lit("Eingabe ohne Bediener übersprungen: ") + caption);
    if (accepted) *accepted = false;
    return initial;
}

QString TServiceSeam::FileName(QWidget*, const Modal::FileDialog& dialog) {
    ServiceLine(Ansi::Lit("Dateiauswahl ohne Bediener übersprungen") +
                (dialog.title.isEmpty() ? QByteArray() : ": " + dialog.title));
    return {};
}

// ---- the service -------------------------------------------------------------------------

TService::TService() {
    Modal::Install(&seam_);
    serial_ = std::make_unique<TSerial>();
    SetServerDefaults(*serial_);
    publisher_ = std::make_unique<TStatusPublisher>(this);
    engine_ = std::make_unique<TTransferEngine>(serial_.get(), publisher_.get());
    publisher_->Attach(engine_.get());
    TConfigListing listing;
    listing.Replace = [](const QByteArray& line) { ServiceLine(line); };
    listing.Append = listing.Replace;
    konfig_ = std::make_unique<TKonfiguration>(nullptr, listing);

    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        signals_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
        connect(signals_, &QSocketNotifier::activated, this, [this] { OnSignal(); });
        struct sigaction sa {};
        sa.sa_handler = OnPosixSignal;
        sa.sa_flags = SA_RESTART;
        for (int number : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(number, &sa, nullptr);
    }
}

TService::~TService() {
    engine_.reset();
    publisher_.reset();
    serial_.reset();
    Modal::Install(nullptr);
}

int TService::Start() {
    ServiceLine(Ansi::Lit("DNC Server ohne Fenster, Arbeitsordner ") +
                Ansi::FromQString(QDir::currentPath()));
    publisher_->Listen(QDir::currentPath());
    // The serial settings, then the port (as the window's start-up does).
    const QByteArray serDemo = SerialSettingsPath();
    if (const QByteArray problem = StartFileProblem(SerDemoIniPath()); !problem.isEmpty()) {
        ServiceLine(serDemo + ": " + problem);
        return ServiceExit::SerialSettings;
    }
    int requested = 0;
    TSettingsLoad load = TSettingsLoad::Missing;
    try {
        load = LoadSerialSettings(*serial_, &requested);
    } catch (const std::exception& e) {
        ServiceLine(QByteArray(e.what()));
        return ServiceExit::SerialSettings;
    }
    if (load != TSettingsLoad::Loaded) ServiceLine(SettingsLoadText(load));
    if (load == TSettingsLoad::Loaded && serial_->HandshakeDtrDsr()) {
        ServiceLine(PortError::DtrDsrIgnoredText());
    }
    if (requested >= 1) {
        if (const int failed = CheckPortMapEntry(requested); failed >= 0) return failed;
    }
    if (serial_->COMPort() >= 1) {
        OpenPort();
    } else if (requested >= 1 && requested <= MaxPort) {
        // Its device is not there yet (the adapter is plugged in later): wait for it.
        requestedPort_ = requested;
        ServiceLine(PortMissingText(requested));
        connect(&portWait_, &QTimer::timeout, this, [this] { WaitForPort(); });
        portWait_.start(1000);
    } else {
        ServiceLine(Ansi::Lit("Keine Schnittstelle: ") + serDemo +
                    Ansi::Lit(" nennt keinen Port (Einstellungen im Fenster speichern)."));
        return ServiceExit::SerialSettings;
    }

    // Config.ini.
    if (QFileInfo(ConfigFileName).isDir()) {
        ServiceLine(Ansi::FromQString(ConfigFile::FullPath(ConfigFileName)) + " ist ein Ordner");
        return ServiceExit::Config;
    }
    bool read = false;
    try {
        read = konfig_->ReadConfigFile();
    } catch (const std::exception& e) {
        ServiceLine(QByteArray(e.what()));
        return ServiceExit::Config;
    }
    if (!read) {
        ServiceLine(Ansi::Lit("Ohne Config.ini im Arbeitsordner ") +
                    Ansi::FromQString(QDir::currentPath()) + Ansi::Lit(" läuft der Server nicht."));
        return ServiceExit::Config;
    }
    konfig_->PatchRateTable();

    // The log: one that cannot be written now never will be without the admin. A missing one
    // is made; a missing folder or a full disk lets its entries wait.
    const QByteArray log = LogFileNameFor(CfgSend(), CfgLog());
    if (const QByteArray problem = StartFileProblem(LogPath(log), true); !problem.isEmpty()) {
        ServiceLine(Ansi::Lit("Log-Datei ") +
                    Ansi::FromQString(QFileInfo(LogPath(log)).absoluteFilePath()) + ": " + problem);
        return ServiceExit::Log;
    }

    engine_->Begin();
    return -1;
}

int TService::CheckPortMapEntry(int port) {
    // A link to a device is the device's matter (waited for, or the dialout hint); an entry
    // the service cannot read, or a folder in its place, needs the admin.
    const QByteArray entry = Port::MapFolder() + "/COM" + QByteArray::number(port);
    struct stat st {};
    QByteArray problem;
    if (::lstat(entry.constData(), &st) != 0) {
        if (errno != ENOENT) problem = std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        problem = "ist ein Ordner";
    } else if (S_ISREG(st.st_mode)) {
        problem = StartFileProblem(QFile::decodeName(entry));
    }
    if (problem.isEmpty()) return -1;
    ServiceLine(Ansi::Lit("Portzuordnung ") + entry + ": " + problem);
    return ServiceExit::PortMap;
}

void TService::OpenPort() {
    if (serial_->Open()) {
        ServiceLine(" Port " + QByteArray::number(serial_->COMPort()) + Ansi::Lit(" ist geöffnet"));
        return;
    }
    // No exit: the device may come back (a device server restarts, a cable is fixed). The
    // message says why, with what to do (the dialout group for a device not permitted).
    ServiceLine(PortError::OpenFailureText(serial_->COMPort(), serial_->LastOpenFailure()) +
                Ansi::Lit(" Neuer Versuch jede Sekunde."));
    engine_->StartReconnect();
}

void TService::WaitForPort() {
    ProbePortsAgain();
    int requested = 0;
    if (LoadSerialSettings(*serial_, &requested) != TSettingsLoad::Loaded) return;
    if (serial_->COMPort() != requestedPort_) return;
    portWait_.stop();
    ServiceLine("COM" + QByteArray::number(requestedPort_) + Ansi::Lit(" ist jetzt vorhanden"));
    OpenPort();
}

void TService::OnSignal() {
    char byte = 0;
    while (::read(signalPipe[0], &byte, 1) == 1) {
        if (byte == SIGHUP) {
            ReadConfig();
        } else {
            Stop();
            return;
        }
    }
}

void TService::ReadConfig() {
    ServiceLine("Config.ini wird neu gelesen");
    try {
        if (!konfig_->ReadConfigFile()) {
            ServiceLine(Ansi::Lit("Config.ini nicht gelesen: die bisherigen Werte gelten weiter"));
        }
    } catch (const std::exception& e) {
        ServiceLine(QByteArray(e.what()) + Ansi::Lit(": die bisherigen Werte gelten weiter"));
    }
    Guarded(nullptr, "CheckFolders", [this] { engine_->CheckFolders(); });
}

void TService::Stop() {
    ServiceLine("Ende");
    engine_->StopSend();
    engine_->StopReconnect();
    portWait_.stop();
    Guarded(nullptr, "LogFile", [this] { engine_->Log("Ende   "); });
    // What the log could not take is at least in the journal.
    for (const QByteArray& entry : engine_->UnwrittenLogEntries())
        ServiceLine(Ansi::Lit("Protokolleintrag nicht geschrieben: ") + entry.trimmed());
    serial_->Close();
    QCoreApplication::exit(ServiceExit::Ok);
}

// ---- the engine's view -------------------------------------------------------------------

void TService::Trace(const QByteArray& line) {
    lastLine_ = line;
    ServiceLine(line);
}

void TService::Status(const QByteArray& text) {
    if (text == lastLine_) return;
    lastLine_ = text;
    ServiceLine(text);
}

void TService::Banner(const QByteArray& text, TBanner) {
    if (!text.isEmpty()) Trace(text);  // an emptied banner is no news
}

void TService::ProgramLoaded(const TSendTable& table, TProgramShown) {
    Trace("Programm geladen: " + QByteArray::number(table.Count()) + " Zeilen");
}

void TService::LinesSent(const TSendTable&, int, int, TSendKind) {
    // Not a line for each: SendProgress says how far the send is.
}

void TService::SendProgress(const TSendProgress& p) {
    if (!p.Running || p.Lines <= 0) {
        lastPercent_ = -1;
        return;
    }
    // A line at every tenth, so that a drip feed of an hour does not fill the journal.
    const int percent = int(qint64(p.Line) * 100 / p.Lines) / 10 * 10;
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    Trace("Senden: Zeile " + QByteArray::number(p.Line) + " von " + QByteArray::number(p.Lines) +
          " (" + QByteArray::number(percent) + " %)");
}

// ---- the command line ----------------------------------------------------------------------

int RunService(int argc, char** argv) {
    // No exception ends the service: one that leaves an event's handler is said.
    TGuardedApplication<QCoreApplication> app(argc, argv, [](const QByteArray& what) {
        ServiceLine(Ansi::Lit("Unerwarteter Fehler: ") + what);
    });
    QCoreApplication::setApplicationName(QStringLiteral("DNC Server ( DatenTransfer )"));
    try {
        ProbeStartUpPorts();
        TService server;
        if (qEnvironmentVariableIsSet("DNC_TEST_STOP")) {
            // Tests stop the service at a point of a save, to kill it there.
            const QByteArray at = qgetenv("DNC_TEST_STOP");
            server.Engine()->TestStop = [at](const char* point) {
                if (at == point) ::raise(SIGSTOP);
            };
        }
        const int failed = server.Start();
        if (failed >= 0) return failed;
        return QCoreApplication::exec();
    } catch (const std::exception& e) {
        ServiceLine(Ansi::Lit("Unerwarteter Fehler: ") + e.what());
    } catch (...) {
        ServiceLine(Ansi::Lit("Unerwarteter Fehler"));
    }
    return ServiceExit::Unexpected;
}

// The main program: the start sequence of the windows, then the message loop; or, with
// --service, the server without a window; or the web side (--web, --status, --web-user); or
// the bridge to the shop's broker (--mqtt).
#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <cstring>

#include "Usage.h"
#include "common/Ansi.h"
#include "common/HandlerGuard.h"
#include "common/Modal.h"
#include "mainwindow/Unit1.h"
#include "mainwindow/Unit2.h"
#include "mainwindow/Workspace.h"
#include "mqtt/MqttMain.h"
#include "options/Unit3.h"
#include "serial/Serial.h"
#include "service/Service.h"
#include "viewer/Unit4.h"
#include "web/WebMain.h"
#include "widgets/ModalDialogs.h"
#include "widgets/Translations.h"

namespace {

// Exit status of the window when there is no display to show it on (see --help).
constexpr int kNoDisplay = 10;

void SayNoDisplay() {
    std::fputs(
        "dnc-server: Kein Bildschirm gefunden (DISPLAY und WAYLAND_DISPLAY sind leer oder der "
        "Bildschirm antwortet nicht): das Fenster kann nicht angezeigt werden.\n"
        "  Ohne Fenster läuft der Server mit:  dnc-server --service\n"
        "  Das Fenster anderswo zeigen: DISPLAY setzen, oder QT_QPA_PLATFORM, z. B.\n"
        "  QT_QPA_PLATFORM=vnc (über VNC) oder QT_QPA_PLATFORM=offscreen (unsichtbar).\n",
        stderr);
}

// Qt ends a program without a display with an abort and words of its own; the platform it
// would take is known before it tries.
bool DisplayMissing() {
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM").split(':').first();
    const bool x11 = !qEnvironmentVariableIsEmpty("DISPLAY");
    const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    if (platform.isEmpty()) return !x11 && !wayland;
    if (platform == "xcb") return !x11;
    if (platform.startsWith("wayland")) return !wayland;
    return false;  // offscreen, vnc, eglfs, ... need no display server
}

// A display that is named but does not answer ends in qFatal: the same words, then the exit
// status, instead of the abort.
QtMessageHandler qtHandler = nullptr;
void OnQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg && text.contains(QLatin1String("platform plugin"))) {
        SayNoDisplay();
        ::_exit(kNoDisplay);
    }
    if (qtHandler) qtHandler(type, context, text);
}

enum class TStart { CurrentFolder, Workspace };

int RunWindow(int argc, char** argv, TStart start) {
    if (DisplayMissing()) {
        SayNoDisplay();
        return kNoDisplay;
    }
    qtHandler = qInstallMessageHandler(OnQtMessage);
    // No exception ends the window: one that leaves an event's handler is shown.
    TGuardedApplication<QApplication> app(argc, argv, [](const QByteArray& what) {
        Modal::Error(nullptr, "Unerwarteter Fehler: " + what);
    });
    LoadGermanQtTexts();

    ProbeStartUpPorts();
    // The application title, which message boxes take as their caption. It is the name, not
    // the display name: Qt on X11 and Wayland appends a display name to every window's
    // caption, and the windows carry their own captions alone.
    QApplication::setApplicationName(QStringLiteral("DNC Server ( DatenTransfer )"));
    // The help window finds its file itself (TForm1::HelpFilePath): next to the program,
    // else the copy built into it.

    // The desktop menu's start: the user's own workspace, made on the first start. Should
    // that fail, the user reads why, and the window starts in the folder it was started in.
    Modal::UseRealDialogs();
    Workspace::TEntered workspace;
    bool entered = false;
    if (start == TStart::Workspace) {
        try {
            workspace = Workspace::Enter();
            entered = true;
        } catch (const std::exception& e) {
            Modal::Error(nullptr, Ansi::Lit("Der Arbeitsordner kann nicht angelegt werden: ") +
                                      QByteArray(e.what()));
        }
    }

    // Creating the main window runs its start-up sequence (LadeParameter).
    Form1 = new TForm1;
    Form1->PublishStatus();  // the web page sees this instance too
    Form4 = new TForm4;
    Form4->Attach(&Form1->OpenDialogLogBox, &Form1->ViewFileName);
    FormAbout = new TFormAbout(Form1);
    Form3 = new TForm3;
    Form3->SetMainMemos(Form1->MemoFile, Form1->MemoTrm, Form1->MemoRec);
    // Accepted values take effect at once: a folder they name that is missing is said now.
    Form3->OnValuesAccepted = [] { Form1->Engine->CheckFolders(); };
    // Only closing the main window ends the program.
    Form4->setAttribute(Qt::WA_QuitOnClose, false);
    Form3->setAttribute(Qt::WA_QuitOnClose, false);

    Form1->show();
    if (entered) Workspace::Announce(Form1, workspace);
    const int result = app.exec();

    delete Form3;
    Form3 = nullptr;
    delete Form4;
    Form4 = nullptr;
    delete Form1;  // owns FormAbout
    FormAbout = nullptr;
    return result;
}

void PrintUsage(FILE* to) { std::fputs(Ansi::ToQString(UsageText()).toUtf8().constData(), to); }

}  // namespace

int main(int argc, char** argv) {
    const QByteArray mode = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (mode.isEmpty()) return RunWindow(argc, argv, TStart::CurrentFolder);
    if (mode == "--workspace" && argc == 2) return RunWindow(argc, argv, TStart::Workspace);
    // A question about the program is answered whatever else the line holds.
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return ServiceExit::Ok;
        }
        if (arg == "--version") {
            std::printf("dnc-server %s\n", DNC_VERSION);
            return ServiceExit::Ok;
        }
    }
    // The web page, the state of the instances, the page's users: no window, no transfer.
    if (IsWebMode(argc, argv)) return RunWebMode(argc, argv, UsageText());
    // The bridge to the shop's broker: no window, no transfer either.
    if (IsMqttMode(argc, argv)) return RunMqttMode(argc, argv, UsageText());
    // The server without a window or display takes no other option.
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]) != "--service") {
            std::fprintf(stderr, "dnc-server: unbekannte Option %s\n\n", argv[i]);
            PrintUsage(stderr);
            return ServiceExit::Usage;
        }
    }
    return RunService(argc, argv);
}

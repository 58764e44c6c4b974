#include "mainwindow/Unit1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMouseEvent>
#include <QProgressBar>
#include <QScrollBar>
#include <QStatusBar>
#include <QTextBrowser>
#include <QTimer>
#include <QUrl>

#include "common/Ansi.h"
#include "common/HandlerGuard.h"
#include "config/Konfig.h"
#include "engine/IniFile.h"
#include "engine/SerialSettings.h"
#include "mainwindow/MemoFeed.h"
#include "mainwindow/Unit2.h"
#include "options/KonfigMemo.h"
#include "options/Unit3.h"
#include "serial/PortError.h"
#include "serial/Serial.h"
#include "serialdialogs/SerAddons.h"
#include "widgets/ModalDialogs.h"
#include "widgets/Placement.h"

TForm1* Form1 = nullptr;

// The help file is built into this static library; its resource must be registered.
static void InitHelpResource() { Q_INIT_RESOURCE(help); }

namespace {

const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);

// The window's fonts come from another system; where they are missing, narrow faces keep
// the captions inside their buttons.
void SubstituteFonts() {
    const QStringList narrow = {QStringLiteral("Liberation Sans Narrow"),
                                QStringLiteral("DejaVu Sans Condensed")};
    for (const char* family : {"MS Sans Serif", "Arial", "Arial Black", "Euromode"}) {
        if (QFont::substitutes(QString::fromLatin1(family)).isEmpty()) {
            QFont::insertSubstitutions(QString::fromLatin1(family), narrow);
        }
    }
}

QFont PixelFont(const QString& family, int pixels, bool bold = false) {
    QFont font(family);
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

}  // namespace

// ---- creation ---------------------------------------------------------------------------

TForm1::TForm1(QWidget* parent, bool runStartUp) : QMainWindow(parent) {
    InitHelpResource();
    Modal::UseRealDialogs();
    setupUi(this);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setWindowIcon(ProgramIcon());

    Serial1 = new TSerial(this);
    // The window's own settings; LadeBaud replaces them from SerDemo.ini.
    SetServerDefaults(*Serial1);
    Publisher = std::make_unique<TStatusPublisher>(this);
    Engine = std::make_unique<TTransferEngine>(Serial1, Publisher.get());
    Publisher->Attach(Engine.get());

    COMComboBox1->SetSerial(Serial1);
    COMComboBox1->SetSelectedPort(0);  // as the layout stores it: ignored
    SerSel1 = new TSerSel(this);
    SerSel1->SetSerial(Serial1);
    CreatePortDialogs();
    Konfiguration = std::make_unique<TKonfiguration>(this, MemoListing(MemoFile));

    OpenDialogIni.defaultSuffix = QStringLiteral("CNC");
    OpenDialogIni.filter =
        Modal::DialogFilter("CNC Programme(*.ini)|*.INI|Alle Programme(*.*)|*.* ");
    OpenDialogLogBox.defaultSuffix = QStringLiteral("Log");
    OpenDialogLogBox.filter =
        Modal::DialogFilter("CNC(*.Cnc)|*.CNC|LOG(*.Log)|*.Log|Alle (*:*)|*.*");
    OpenDialogLogBox.fileName = QStringLiteral("Protokoll.log");

    // Fonts and colours the layout gives in pixels.
    SubstituteFonts();
    setFont(PixelFont(QStringLiteral("MS Sans Serif"), 11));
    Button3->setFont(PixelFont(QStringLiteral("MS Sans Serif"), 12));
    SetTextColor(Button3, QColor(0, 102, 204));  // hot-light
    ButtonTest->setFont(PixelFont(QStringLiteral("MS Sans Serif"), 9));
    for (QPushButton* b : {B_CTS, B_DSR, Xon})
        b->setFont(PixelFont(QStringLiteral("Arial"), 12, true));
    MemoTrm->setFont(PixelFont(QStringLiteral("Arial"), 12));
    MemoRec->setFont(PixelFont(QStringLiteral("Arial"), 12));
    MemoFile->setFont(PixelFont(QStringLiteral("Euromode"), 12));
    MemoInfo->setFont(PixelFont(QStringLiteral("Arial"), 15, true));
    SetTextColor(MemoInfo, kRed);
    MemoInfo->setVisible(false);
    MemoRec->setTabChangesFocus(true);
    // The memos show transfers; what is sent or saved is never bounded, only what is shown.
    constexpr int kMemoLines = 10'000;
    FeedFile = new TMemoFeed(MemoFile, kMemoLines);
    FeedRec = new TMemoFeed(MemoRec, kMemoLines);
    FeedTrm = new TMemoFeed(MemoTrm, kMemoLines);

    StatusLabel = new QLabel(StatusBar1);
    StatusLabel->setObjectName(QStringLiteral("StatusText"));
    StatusBar1->addWidget(StatusLabel, 1);
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setFixedHeight(19);
    SetStatusText("Schnittstelle geschlossen");
    // How far a send is, right in the status bar while it runs.
    SendTimeLabel = new QLabel(StatusBar1);
    SendTimeLabel->setObjectName(QStringLiteral("SendTime"));
    SendBar = new QProgressBar(StatusBar1);
    SendBar->setObjectName(QStringLiteral("SendProgress"));
    SendBar->setFixedWidth(220);
    SendBar->setMaximumHeight(15);
    StatusBar1->addPermanentWidget(SendTimeLabel);
    StatusBar1->addPermanentWidget(SendBar);
    SendBar->setVisible(false);
    SendTimeLabel->setVisible(false);

    // Client area 775 x 484 below the menu; not resizable (smaller only where the screen is).
    const int menuHeight = menuBar()->sizeHint().height();
    setFixedSize(775, menuHeight + 484);
    FitToScreen(this, QSize(775, menuHeight + 484));
    PlaceOnScreen(this, QPoint(812, 640));

    PortWait = new QTimer(this);
    PortWait->setInterval(1000);
    connect(PortWait, &QTimer::timeout, this,
            [this] { Guarded(this, "WaitForPort", [this] { WaitForPort(); }); });

    BindControls();
    SetConnectedControls(false);
    ButtonConnect->setFocus();

    if (runStartUp) LadeParameter();
}

TForm1::~TForm1() {
    // The engine goes first: its send and the event thread must not reach a window that is
    // going away.
    Engine.reset();
    Publisher.reset();
    if (Serial1) Serial1->SetActive(false);
    if (Form1 == this) Form1 = nullptr;
}

void TForm1::PublishStatus() { Publisher->Listen(QDir::currentPath()); }

void TForm1::BindControls() {
    auto bind = [this](QAbstractButton* button, const char* name, void (TForm1::*handler)()) {
        connect(button, &QAbstractButton::clicked, this,
                [this, name, handler] { Guarded(this, name, [&] { (this->*handler)(); }); });
    };
    auto bindAction = [this](QAction* action, const char* name, void (TForm1::*handler)()) {
        connect(action, &QAction::triggered, this,
                [this, name, handler] { Guarded(this, name, [&] { (this->*handler)(); }); });
    };
    bind(ButtonConnect, "ButtonConnectClick", &TForm1::ButtonConnectClick);
    bind(ButtonSendBlock, "ButtonSendBlockClick", &TForm1::ButtonSendBlockClick);
    bind(Button3, "Button3Click", &TForm1::Button3Click);
    bind(RBAuto, "RBAutoClick", &TForm1::RBAutoClick);
    bind(RBManu, "RBManuClick", &TForm1::RBManuClick);
    bind(ButtonTest, "ButtonTestClick", &TForm1::ButtonTestClick);
    bind(ButtonTxClear, "ButtonTxClearClick", &TForm1::ButtonTxClearClick);
    bind(ButtonRxClear, "ButtonRxClearClick", &TForm1::ButtonRxClearClick);
    bind(B_CTS, "B_CTSClick", &TForm1::B_CTSClick);
    bind(B_DSR, "B_DSRClick", &TForm1::B_DSRClick);

    bindAction(CNCLoad, "CNCLoadClick", &TForm1::CNCLoadClick);
    bindAction(Menu_Exit, "Menu_ExitClick", &TForm1::Menu_ExitClick);
    bindAction(Menu_Port, "Menu_PortClick", &TForm1::Menu_PortClick);
    bindAction(Menu_Parameter, "Menu_ParameterClick", &TForm1::Menu_ParameterClick);
    bindAction(Menu_ExtParameter, "Menu_ExtParameterClick", &TForm1::Menu_ExtParameterClick);
    bindAction(Menu_Save, "Menu_SaveClick", &TForm1::Menu_SaveClick);
    bindAction(Menu_Load, "Menu_LoadClick", &TForm1::Menu_LoadClick);
    bindAction(ServerEinstellung1, "ServerEinstellung1Click", &TForm1::ServerEinstellung1Click);
    bindAction(LogFile1, "LogFile1Click", &TForm1::LogFile1Click);
    bindAction(CNCFile1, "CNCFile1Click", &TForm1::CNCFile1Click);
    bindAction(CNCLoadinEditor1, "CNCLoadinEditor1Click", &TForm1::CNCLoadinEditor1Click);
    bindAction(Menu_About, "Menu_AboutClick", &TForm1::Menu_AboutClick);
    bindAction(Hilfe1, "Hilfe1Click", &TForm1::Hilfe1Click);

    MemoTrm->installEventFilter(this);
    MemoTrm->viewport()->installEventFilter(this);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape &&
        watched->objectName() == QLatin1String("HelpWindow")) {
        static_cast<QWidget*>(watched)->close();
        return true;
    }
    if (watched == MemoTrm->viewport() && event->type() == QEvent::MouseButtonPress &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        // A click is the left button; the right one only opens the context menu.
        Guarded(this, "MemoFileHide", [this] { MemoFileHide(); });
    } else if (watched == MemoTrm && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        char byte = 0;
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            byte = 13;
        } else if (key->key() == Qt::Key_Delete) {
            // X11 gives the Delete key the text DEL (127); it edits the memo, it is no
            // character to send.
            byte = 0;
        } else if (key->text().size() == 1 && !Ansi::CharToByte(key->text().at(0), byte)) {
            byte = 0;
        }
        if (byte != 0) {
            bool swallow = false;
            Guarded(this, "MemoTrmKeyPress", [&] {
                MemoTrmKeyPress(byte);
                swallow = byte == 0;
            });
            if (swallow) return true;
        }
    } else if (watched == MemoTrm && event->type() == QEvent::InputMethod) {
        // A character composed with a dead key (^, ´, `) arrives as committed input, not as
        // a key press; it goes onto the line the same way.
        auto* input = static_cast<QInputMethodEvent*>(event);
        const QString committed = input->commitString();
        QString shown;
        for (const QChar ch : committed) {
            char byte = 0;
            if (Ansi::CharToByte(ch, byte) && byte != 0) {
                Guarded(this, "MemoTrmKeyPress", [&] { MemoTrmKeyPress(byte); });
                if (byte == 0) continue;  // refused: not sent, so not shown either
            }
            shown += ch;
        }
        if (shown != committed) {
            input->setCommitString(shown, input->replacementStart(), input->replacementLength());
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TForm1::closeEvent(QCloseEvent* event) {
    // The close box ends the program without a log entry; the port is released. A send
    // under way ends first and is reported as not sent whole.
    Engine->StopSend();
    Serial1->SetActive(false);
    QMainWindow::closeEvent(event);
}

// ---- small helpers ------------------------------------------------------------------------

void TForm1::SetStatusText(const QByteArray& text) { StatusLabel->setText(Ansi::ToQString(text)); }

QByteArray TForm1::StatusText() const { return Ansi::FromQString(StatusLabel->text()); }

void TForm1::SetStatusColor(const QColor& color) { SetTextColor(StatusLabel, color); }

void TForm1::AppendLine(QPlainTextEdit* memo, const QByteArray& line) {
    memo->appendPlainText(Ansi::ToQString(line));
}

void TForm1::SetTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Text, color);
        palette.setColor(group, QPalette::ButtonText, color);
        palette.setColor(group, QPalette::WindowText, color);
    }
    widget->setPalette(palette);
}

QColor TForm1::TextColor(const QWidget* widget) {
    if (qobject_cast<const QAbstractButton*>(widget)) {
        return widget->palette().color(QPalette::Active, QPalette::ButtonText);
    }
    if (qobject_cast<const QLabel*>(widget)) {
        return widget->palette().color(QPalette::Active, QPalette::WindowText);
    }
    return widget->palette().color(QPalette::Active, QPalette::Text);
}

void TForm1::SetConnectedControls(bool connected) {
    for (QWidget* w :
         std::initializer_list<QWidget*>{ButtonSendBlock, ButtonTxClear, ButtonRxClear, MemoTrm}) {
        w->setEnabled(connected);
    }
}

// ---- start-up and connection --------------------------------------------------------------

void TForm1::LadeParameter() {
    // Each step reports its own failure and start-up goes on: the window must come up.
    Guarded(this, "LadeBaud", [this] { LadeBaud(); });
    if (Serial1->COMPort() == 0 && RequestedPort > 0) {
        StartWaitingForPort();
    } else if (Serial1->COMPort() > 0) {
        Guarded(this, "Verbinde", [this] { ConnectOrRetry(); });
    } else {
        Guarded(this, "Verbinde", [this] { Verbinde(); });
    }
    Guarded(this, "ReadConfigFile", [this] {
        Konfiguration->ReadConfigFile();
        Konfiguration->PatchRateTable();
    });
    // The port's state is said after the "Beginn" entry; what the engine finds at start
    // (a missing folder, a save a crash cut) after it, so that the status shows that.
    Engine->Begin([this] { ShowPortState(); });
}

// The port as the start left it, in the memo and the status.
void TForm1::ShowPortState() {
    const QByteArray port = QByteArray::number(Serial1->COMPort());
    SetStatusColor(kBlue);
    if (Serial1->Active()) {
        AppendLine(MemoFile, " Port " + port + Ansi::Lit(" ist geöffnet"));
        SetStatusText("Schnittstelle COM" + port + Ansi::Lit(" geöffnet mit Parameter  ") +
                      CfgComPort());
    } else if (PortWait->isActive() || Engine->Reconnecting()) {
        // The listing of Config.ini replaced what was said: say it again, last.
        AppendLine(MemoFile, WaitingText);
        SetStatusText(WaitingText);
    } else if (Serial1->COMPort() == 0) {
        // No port is named at all; there is no "COM0".
        AppendLine(MemoFile, Ansi::Lit(" Keine Schnittstelle gewählt"));
        SetStatusText(Ansi::Lit("Keine Schnittstelle gewählt (Einstellungen / Schnittstelle)"));
    } else {
        // A port that did not open is not reported as open.
        AppendLine(MemoFile, " Port " + port + Ansi::Lit(" ist nicht geöffnet"));
        SetStatusText("Schnittstelle COM" + port + Ansi::Lit(" nicht geöffnet"));
    }
    SetTextColor(Xon, kBlue);
}

void TForm1::StartWaitingForPort() {
    ShowWaiting(PortMissingText(RequestedPort));
    PortWait->start();
}

void TForm1::WaitForPort() {
    if (Serial1->Active()) {
        PortWait->stop();
        return;
    }
    ProbePortsAgain();
    if (!PortExists[RequestedPort]) return;
    PortWait->stop();
    COMComboBox1->SetSelectedPort(RequestedPort);
    ConnectOrRetry();
}

void TForm1::ConnectOrRetry() {
    Serial1->SetActive(true);
    ShowConnection(Serial1->Active());
    if (Serial1->Active()) return;
    // Nobody may be at the PC: no box. The port is tried again every second, as after a
    // lost device, and "Trennen" ends that.
    QByteArray text = OpenErrorText() + Ansi::Lit(" Neuer Versuch jede Sekunde.");
    text.replace('\r', ' ');
    ShowWaiting(text);
    Engine->StartReconnect();
}

void TForm1::ShowWaiting(const QByteArray& text) {
    WaitingText = text;
    Trace(text);
    SetStatusText(text);
    ButtonConnect->setText(QStringLiteral("&Trennen"));
    SetConnectedControls(false);
}

void TForm1::ButtonConnectClick() { Verbinde(); }

void TForm1::Verbinde() {
    // While the server waits for a device to come (back), "Trennen" ends the waiting.
    if (Engine->Reconnecting() || PortWait->isActive()) {
        PortWait->stop();
        Engine->StopReconnect();
        ShowConnection(false);
        return;
    }
    const bool opening = !Serial1->Active();
    if (opening && Serial1->COMPort() == 0 && RequestedPort > 0) {
        // The device was missing at start: it may be there now.
        ProbePortsAgain();
        if (PortExists[RequestedPort]) COMComboBox1->SetSelectedPort(RequestedPort);
    }
    Serial1->SetActive(opening);
    ShowConnection(Serial1->Active());
    if (opening && !Serial1->Active()) Modal::Error(this, OpenErrorText());
}

void TForm1::ShowConnection(bool active) {
    if (active) {
        ButtonConnect->setText(QStringLiteral("&Trennen"));
        SetStatusText("Schnittstelle COM" + QByteArray::number(Serial1->COMPort()) +
                      Ansi::Lit(" geöffnet mit Parameter ") + CfgComPort());
    } else {
        ButtonConnect->setText(QStringLiteral("&Verbinden"));
        SetStatusText("Schnittstelle geschlossen");
        ButtonConnect->setFocus();
    }
    SetConnectedControls(active);
    if (active) {
        for (TMemoFeed* feed : {FeedTrm, FeedRec, FeedFile}) feed->Clear();
        MemoTrm->setFocus();
    }
}

QByteArray TForm1::OpenErrorText() const {
    if (Serial1->COMPort() == 0 && RequestedPort > 0) {
        return PortError::OpenFailureText(RequestedPort, PortError::Failure(peNoDevice));
    }
    return PortError::OpenFailureText(Serial1->COMPort(), Serial1->LastOpenFailure());
}

void TForm1::DeviceLost(int) {
    // The device went away under an open port (adapter unplugged). No box: the engine says
    // so and opens the port again when the device is back. Until then "Trennen" ends the
    // waiting; what was received so far stays in the memos.
    ButtonConnect->setText(QStringLiteral("&Trennen"));
    SetConnectedControls(false);
}

void TForm1::PortReopened(int) {
    ButtonConnect->setText(QStringLiteral("&Trennen"));
    SetConnectedControls(true);
}

// ---- exit, help, about --------------------------------------------------------------------

void TForm1::Menu_ExitClick() {
    Engine->StopSend();
    // A failed log entry is shown, but the operator still gets the exit asked for.
    Guarded(this, "LogFile", [this] { Engine->Log("Ende   "); });
    close();
}

void TForm1::Menu_AboutClick() {
    if (FormAbout) {
        FormAbout->exec();
    } else {
        TFormAbout about(this);
        about.exec();
    }
}

QString TForm1::HelpFilePath() {
    // Next to the program (the build folder), then where an installation puts it; these
    // can be read and replaced. Else the copy built into the program.
    const QString dir = QCoreApplication::applicationDirPath();
    for (const QString& path : {dir + QStringLiteral("/Serial.html"),
                                dir + QStringLiteral("/../share/dnc-server/Serial.html")}) {
        if (QFileInfo::exists(path)) return QFileInfo(path).canonicalFilePath();
    }
    return QStringLiteral(":/help/Serial.html");
}

void TForm1::Hilfe1Click() {
    auto* browser = findChild<QTextBrowser*>(QStringLiteral("HelpWindow"));
    if (!browser) {
        browser = new QTextBrowser(this);
        browser->setObjectName(QStringLiteral("HelpWindow"));
        browser->setWindowFlags(Qt::Window);
        // Closing the main window ends the program even while the help is open.
        browser->setAttribute(Qt::WA_QuitOnClose, false);
        browser->setWindowTitle(QStringLiteral("Hilfe"));
        browser->setOpenExternalLinks(false);
        browser->installEventFilter(this);  // Escape closes it
    }
    if (!browser->isVisible()) {
        // Below the main window's menus, so that they stay in reach.
        PlaceBelow(browser, QSize(640, 560),
                   menuBar()->mapToGlobal(QPoint(0, menuBar()->height())));
    }
    const QString path = HelpFilePath();
    if (!QFileInfo::exists(path)) {
        Modal::Error(this, Ansi::Lit("Die Hilfedatei ") + Ansi::FromQString(path) +
                               Ansi::Lit(" wurde nicht gefunden."));
        return;
    }
    QUrl url =
        path.startsWith(u':') ? QUrl(QStringLiteral("qrc") + path) : QUrl::fromLocalFile(path);
    url.setFragment(QStringLiteral("Inhalt"));
    browser->setSource(url);
    browser->scrollToAnchor(QStringLiteral("Inhalt"));
    browser->show();
    browser->raise();
}

// ---- line signals -------------------------------------------------------------------------

void TForm1::CTS() { SetTextColor(B_CTS, kRed); }

void TForm1::DSR() { SetTextColor(B_DSR, kRed); }

// The CTS and DSR buttons share one toggle, so clicks alternate blue and red across both.
void TForm1::ToggleSignalButton(QAbstractButton* button) {
    QFont font = button->font();
    font.setFamily(QStringLiteral("Arial Black"));
    button->setFont(font);
    SetTextColor(button, SignalToggle ? kBlue : kRed);
    SignalToggle = !SignalToggle;
}

void TForm1::B_CTSClick() { ToggleSignalButton(B_CTS); }

void TForm1::B_DSRClick() { ToggleSignalButton(B_DSR); }

// ---- options window ---------------------------------------------------------------------

void TForm1::ServerEinstellung1Click() {
    if (Form3) Form3->ServerEinstellung1Click();
}

// ---- port choice --------------------------------------------------------------------------

void TForm1::Menu_PortClick() {
    if (SerSel1->Execute()) COMComboBox1->SetSelectedPort(Serial1->COMPort());
}

// ---- saved serial settings ----------------------------------------------------------------

void TForm1::Menu_SaveClick() {
    // Throws on failure: the handler guard shows why, and the success box is not shown.
    const TReplaceWay way = SaveSerialSettings(*Serial1);
    QByteArray saved = Ansi::Lit(
        "Die Einstellungen wurden im Windows-Verzeichnis\r"
        "in der Datei SerDemo.ini gespeichert.");
    if (way == TReplaceWay::InPlace) saved += "\r" + InPlaceNote(SerDemoIniPath());
    Modal::Message(this, saved);
}

void TForm1::Menu_LoadClick() { LoadSerialSettings(); }

void TForm1::LadeBaud() {
    if (Engine->BaudLoaded == 1) return;
    Engine->BaudLoaded = 1;
    LoadSerialSettings();
}

void TForm1::LoadSerialSettings() {
    const TSettingsLoad load = ::LoadSerialSettings(*Serial1, &RequestedPort);
    if (load != TSettingsLoad::Loaded) {
        Modal::Message(this, SettingsLoadText(load));
        return;
    }
    COMComboBox1->SetSelectedPort(Serial1->COMPort());
    // One box for the operation: the open-port notice, then what the platform lacks.
    QByteArray notice;
    if (Serial1->Active()) {
        notice = Ansi::Lit(
            "Die Schnittstelle ist zur Zeit geöffnet.\r"
            "Die neuen Einstellungen werden erst übernommen,\r"
            "wenn die Schnittstelle geschlossen und neu\r"
            "geöffnet wird.");
    }
    if (Serial1->HandshakeDtrDsr()) {
        if (!notice.isEmpty()) notice += "\r\r";
        notice += PortError::DtrDsrIgnoredText();
    }
    if (!notice.isEmpty()) Modal::Message(this, notice);
}

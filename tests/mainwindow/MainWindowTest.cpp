// The main window offscreen: start-up against real Config.ini and SerDemo.ini files in a
// temporary working folder, the port map pointing at pseudo-terminals.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>
#include <functional>
#include <memory>

#include "common/Ansi.h"
#include "common/FileReplace.h"
#include "common/ScriptedSeam.h"
#include "config/ConfigValues.h"
#include "config/Konfig.h"
#include "engine/LogFile.h"
#include "engine/TransferRules.h"
#include "mainwindow/Unit1.h"
#include "mainwindow/Unit2.h"
#include "serial/Port.h"
#include "serial/PortError.h"
#include "serial/Serial.h"
#include "serialdialogs/SerAddons.h"
#include "tests/common/ImmutableFolder.h"
#include "tests/common/Screenshot.h"
#include "tests/common/TestPty.h"

namespace {

const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return "<missing>";
    return f.readAll();
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    f.write(bytes);
}

// Runs the event loop until cond holds (false after 10 s).
bool transfer_wait(const std::function<bool()>& cond) {
    for (int i = 0; i < 5000 && !cond(); ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        ::usleep(2000);
    }
    return cond();
}

QStringList Lines(const QPlainTextEdit* memo) {
    return memo->toPlainText().split(QLatin1Char('\n'));
}

// A temporary working folder with its own config folder and port map.
class MainWindowTest : public ::testing::Test {
  protected:
    QTemporaryDir work;
    QString oldDir;
    QByteArray oldXdg;
    std::map<int, std::unique_ptr<TestPty>> ports;  // each holds both sides

    void SetUp() override {
        ASSERT_TRUE(work.isValid());
        oldDir = QDir::currentPath();
        oldXdg = qgetenv("XDG_CONFIG_HOME");
        QDir::setCurrent(work.path());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(work.filePath("config")));
        ConfigValues.fill(QByteArray());
        ConfigFileName = QStringLiteral("Config.ini");
        RestoreRates();
    }
    void TearDown() override {
        QDir::setCurrent(oldDir);
        qputenv("XDG_CONFIG_HOME", oldXdg);
        ResetPortProbeForTests();
    }

    // Maps COM1..COM8: the given ones to new pseudo-terminals, the rest to nothing.
    void MapPorts(std::initializer_list<int> existing) {
        for (int n = 1; n <= 8; ++n) {
            QByteArray target = "/nonexistent/tty";
            if (std::find(existing.begin(), existing.end(), n) != existing.end()) {
                ports[n] = std::make_unique<TestPty>();
                target = ports[n]->Path();
            }
            ASSERT_TRUE(TestPty::Relink(TestPty::PortEntry(work.filePath("config"), n), target));
        }
        ResetPortProbeForTests();
        EnsurePortsProbed(8);
    }

    QString SerDemoIni() const { return work.filePath("config/dnc-server/SerDemo.ini"); }

    // Saves settings text for `port` the way the menu would, after an unrelated section.
    QByteArray SaveSettings(int port, TBaudrate rate, TDataBits bits, TParityBit parity,
                            TStopBits stop, bool rtsCts, bool dtrDsr = false) {
        TSerial s;
        s.SetCOMPort(port);
        s.SetHandshakeDtrDsr(dtrDsr);
        s.SetBaudrate(rate);
        s.SetDataBits(bits);
        s.SetParityBit(parity);
        s.SetStopBits(stop);
        s.SetHandshakeRtsCts(rtsCts);
        TSerialSettings rec;
        s.GetSettings(rec);
        QByteArray text;
        s.SettingsToText(rec, text);
        WriteAll(SerDemoIni(),
                 "[Andere]\r\nSchluessel=a%20b\r\n\r\n[SerBsp1]\r\nConfiguration=" + text + "\r\n");
        return text;
    }

    // A complete 13-line Config.ini; the log goes to <work>/send/dnc.log.
    void WriteConfig() {
        QDir().mkpath(work.filePath("send"));
        const QByteArray send = QFile::encodeName(work.filePath("send"));
        WriteAll(work.filePath("Config.ini"),
                 "Config.ini=13\r\nA=1\r\nB=2\r\nC=3\r\nExt=CNC\r\nLog=dnc\r\nAK=O\r\n"
                 "End=M30\r\nPort=4800,8,N,1\r\nPrgAK=1234\r\nTimer=5\r\nSend=" +
                     send + "\r\nSave=" + send + "\r\n");
    }
    QString LogPathName() const { return work.filePath("send/dnc.log"); }
};

TEST_F(MainWindowTest, StartUpLoadsSettingsConnectsReadsConfigAndLogs) {
    MapPorts({1});
    // A pseudo-terminal keeps 8 data bits without parity whatever it is told; the stop
    // bits, the handshake and the rate are checked on it.
    const QByteArray saved = SaveSettings(1, br_019200, db_8, none, sb_2, false);
    WriteConfig();
    ScriptedSeam seam;

    const QDateTime before = QDateTime::currentDateTime();
    TForm1 form;
    const QDateTime after = QDateTime::currentDateTime();

    // Connected over the pseudo-terminal with the saved settings.
    ASSERT_TRUE(form.Serial1->Active()) << seam.BoxTexts().join("|").toStdString();
    EXPECT_EQ(form.Serial1->COMPort(), 1);
    EXPECT_EQ(form.COMComboBox1->SelectedPort(), 1);
    EXPECT_EQ(form.ButtonConnect->text(), "&Trennen");
    for (QWidget* w : std::initializer_list<QWidget*>{form.ButtonSendBlock, form.ButtonTxClear,
                                                      form.ButtonRxClear, form.MemoTrm}) {
        EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
    }
    termios t{};
    ASSERT_EQ(tcgetattr(ports[1]->Slave(), &t), 0);
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    quint32 in = 0, out = 0;
    ASSERT_TRUE(Port::GetRate(ports[1]->Slave(), in, out));
    EXPECT_EQ(out, 19200u);

    // Config.ini listed and stored by slot, the rate override applied.
    const QStringList memo = Lines(form.MemoFile);
    ASSERT_GE(memo.size(), 27);
    EXPECT_EQ(memo[0], "Config.Ini Werte");
    EXPECT_EQ(memo[1], "2");
    EXPECT_EQ(memo[2], "A=1");
    EXPECT_EQ(memo[23], "13");
    EXPECT_EQ(CfgExt(), "CNC");
    EXPECT_EQ(CfgComPort(), "4800,8,N,1");
    EXPECT_EQ(CfgTimer(), "5");
    EXPECT_EQ(BaudRateTable[br_009600], 1248u);
    EXPECT_EQ(BaudRateTable[br_004800], 4800u);
    EXPECT_EQ(memo[25], " Login " + QFileInfo(LogPathName()).absoluteFilePath() +
                            "  in Protokoll geschrieben ");
    EXPECT_EQ(memo[26], Ansi::ToQString(Ansi::Lit(" Port 1 ist geöffnet")));

    EXPECT_EQ(form.StatusText(),
              Ansi::Lit("Schnittstelle COM1 geöffnet mit Parameter  4800,8,N,1"));
    EXPECT_EQ(TForm1::TextColor(form.StatusLabel), kBlue);
    EXPECT_EQ(TForm1::TextColor(form.Xon), kBlue);

    // The first start finds no log: the operator is told, the file is made, "Beginn " logged.
    ASSERT_EQ(seam.boxes.size(), 1);
    EXPECT_EQ(seam.boxes[0].kind, Modal::BoxKind::Information);
    EXPECT_EQ(seam.boxes[0].text, "Log Datei fehlt Neue Log Datei  " + form.Engine->LogFileName +
                                      "  erstellen in Dir " +
                                      QFile::encodeName(work.filePath("send")));
    const QByteArray log = ReadAll(LogPathName());
    const QLocale locale = QLocale::system();
    EXPECT_TRUE(log == LogEntry("Beginn ", before, locale) ||
                log == LogEntry("Beginn ", after, locale))
        << log.toStdString();
    EXPECT_TRUE(SaveScreenshot(form, "mainwin-connected.png"));
    // The other section of SerDemo.ini was only read.
    EXPECT_EQ(ReadAll(SerDemoIni()),
              "[Andere]\r\nSchluessel=a%20b\r\n\r\n[SerBsp1]\r\nConfiguration=" + saved + "\r\n");
}

TEST_F(MainWindowTest, StartUpWithAVanishedPortSaysWhyAndWaitsForIt) {
    MapPorts({2});
    SaveSettings(2, br_004800, db_8, none, sb_1, true);
    WriteConfig();
    // The device goes away between probe and open. The link is pointed away as well: a
    // test running beside this one may get the freed pseudo-terminal's number.
    ports[2]->Close();
    ASSERT_TRUE(
        TestPty::Relink(TestPty::PortEntry(work.filePath("config"), 2), "/nonexistent/tty"));
    ScriptedSeam seam;

    TForm1 form;

    // No box waits for an operator: the window says why and tries again, as the service does.
    EXPECT_FALSE(form.Serial1->Active());
    EXPECT_TRUE(form.Engine->Reconnecting());
    EXPECT_EQ(form.ButtonConnect->text(), "&Trennen");
    for (QWidget* w : std::initializer_list<QWidget*>{form.ButtonSendBlock, form.ButtonTxClear,
                                                      form.ButtonRxClear, form.MemoTrm}) {
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    }
    for (const auto& b : seam.boxes) EXPECT_NE(b.kind, Modal::BoxKind::Error) << b.text.data();
    const QByteArray why = Ansi::FromQString(Lines(form.MemoFile).last());
    EXPECT_TRUE(why.contains("COM2 kann nicht ge")) << why.toStdString();
    EXPECT_TRUE(why.contains(Ansi::Lit("das Gerät ist nicht vorhanden (") +
                             PortError::SystemText(ENOENT) + ")"))
        << why.toStdString();
    EXPECT_TRUE(why.endsWith("Neuer Versuch jede Sekunde.")) << why.toStdString();
    EXPECT_EQ(form.StatusText(), why);
    // The start is logged all the same; "Trennen" ends the waiting.
    EXPECT_TRUE(ReadAll(LogPathName()).startsWith("Beginn  "));
    form.ButtonConnect->click();
    EXPECT_FALSE(form.Engine->Reconnecting());
    EXPECT_EQ(form.ButtonConnect->text(), "&Verbinden");
    EXPECT_EQ(form.StatusText(), "Schnittstelle geschlossen");
}

TEST_F(MainWindowTest, FilesItCannotReadAtStartAreNamedAndTheWindowComesUp) {
    MapPorts({1});
    WriteConfig();
    ASSERT_TRUE(QDir().mkpath(SerDemoIni()));  // folders where the settings and the log belong
    ASSERT_TRUE(QDir().mkpath(LogPathName()));
    ScriptedSeam seam;
    TForm1 form;
    const QByteArray boxes = seam.BoxTexts().join('|');
    EXPECT_TRUE(boxes.contains("SerDemo.ini\": ist ein Ordner")) << boxes.constData();
    EXPECT_TRUE(boxes.contains("dnc.log\": Is a directory")) << boxes.constData();
    EXPECT_EQ(CfgExt(), "CNC") << "the start goes on";
}

TEST_F(MainWindowTest, APortHeldByAnotherProgramIsExplained) {
    MapPorts({1});
    TSerial other;
    other.SetCOMPort(1);
    ASSERT_TRUE(other.Open());
    ScriptedSeam seam;
    TForm1 form(nullptr, false);
    form.Serial1->SetCOMPort(1);
    form.ButtonConnect->click();
    EXPECT_FALSE(form.Serial1->Active());
    EXPECT_EQ(form.StatusText(), "Schnittstelle geschlossen");
    ASSERT_EQ(seam.boxes.size(), 1);
    EXPECT_TRUE(
        seam.boxes[0].text.contains("COM1 kann nicht ge\xf6"
                                    "ffnet werden: sie wird von einem anderen Programm benutzt"))
        << seam.boxes[0].text.toStdString();
}

// A refused device cannot be had as root; a scripted one refuses the open.
TEST_F(MainWindowTest, APortNotPermittedNamesTheDialoutGroup) {
    MapPorts({1});
    auto device = std::make_shared<Port::TScriptedDevice>();
    device->Device = [](const QByteArray&) { return Port::dsNotPermitted; };
    Port::SetScriptedDeviceForTests(device);
    ScriptedSeam seam;
    TForm1 form(nullptr, false);
    form.Serial1->SetCOMPort(1);
    form.ButtonConnect->click();
    Port::SetScriptedDeviceForTests(nullptr);
    EXPECT_FALSE(form.Serial1->Active());
    ASSERT_EQ(seam.boxes.size(), 1);
    EXPECT_EQ(seam.boxes[0].text,
              Ansi::Lit("Die Schnittstelle COM1 kann nicht geöffnet werden: keine Berechtigung "
                        "für das Gerät (") +
                  PortError::SystemText(EACCES) + Ansi::Lit("). Gerät: ") + ports[1]->Path() +
                  ".\r" + PortError::DialoutHint());
}

// A stored text asking for DTR/DSR opens the port without it and says so once, not at
// every connect.
TEST_F(MainWindowTest, StoredDtrDsrOpensWithoutItAndSaysSoOnce) {
    MapPorts({1});
    SaveSettings(1, br_009600, db_8, none, sb_1, false, true);
    WriteConfig();
    ScriptedSeam seam;
    TForm1 form;
    ASSERT_TRUE(form.Serial1->Active()) << seam.BoxTexts().join("|").toStdString();
    form.Verbinde();
    form.Verbinde();
    EXPECT_TRUE(form.Serial1->Active());
    EXPECT_EQ(seam.BoxTexts().count(PortError::DtrDsrIgnoredText()), 1);
}

// A settings folder the user may not write to still takes the file, written in place.
TEST_F(MainWindowTest, SaveIntoAFolderThatTakesNoNewFile) {
    MapPorts({1});
    WriteAll(SerDemoIni(), "[SerBsp1]\r\nConfiguration=alt\r\n");
    ScriptedSeam seam;
    TForm1 form(nullptr, false);
    form.Serial1->SetCOMPort(1);
    ImmutableFolder folder(QFileInfo(SerDemoIni()).absolutePath());
    if (!folder.Set()) GTEST_SKIP() << "the file system cannot make a folder immutable";
    form.Menu_Save->trigger();
    folder.Release();
    ASSERT_EQ(seam.boxes.size(), 1);
    EXPECT_EQ(seam.boxes[0].kind, Modal::BoxKind::Plain);
    EXPECT_EQ(seam.boxes[0].text,
              "Die Einstellungen wurden im Windows-Verzeichnis\rin der Datei "
              "SerDemo.ini gespeichert.\r" +
                  InPlaceNote(SerDemoIni()));
    const QByteArray file = ReadAll(SerDemoIni());
    EXPECT_TRUE(file.startsWith("[SerBsp1]\r\nConfiguration=RRS0001")) << file.toStdString();
}

TEST_F(MainWindowTest, MissingConfigIsChosenThroughTheDialog) {
    MapPorts({});
    WriteConfig();
    const QString chosen = work.filePath("elsewhere/Other.ini");
    QDir().mkpath(work.filePath("elsewhere"));
    QFile::rename(work.filePath("Config.ini"), chosen);
    ScriptedSeam seam;
    seam.fileAnswers << chosen;

    TForm1 form;

    const QList<QByteArray> texts = seam.BoxTexts();
    const qsizetype at = texts.indexOf("Couldn't find Config.ini. in Dir " +
                                       Ansi::FromQString(QDir::currentPath()) + "  ");
    ASSERT_GE(at, 0);
    ASSERT_GT(texts.size(), at + 1);
    EXPECT_EQ(texts[at + 1], "Neuer File eingeben");
    EXPECT_EQ(texts[0], "Es liegen keine gespeicherten Konfigurationsdaten vor!");
    ASSERT_EQ(seam.fileDialogs.size(), 1);
    EXPECT_EQ(CfgPrgAK(), "1234");
    EXPECT_TRUE(QFile::exists(LogPathName()));
    EXPECT_EQ(form.StatusText(),
              Ansi::Lit("Keine Schnittstelle gewählt (Einstellungen / Schnittstelle)"));
}

TEST_F(MainWindowTest, LogAppendsAndOnlyTheMenuLogsTheEnd) {
    MapPorts({});
    WriteConfig();
    WriteAll(LogPathName(), "alt\r\n");
    {
        ScriptedSeam seam;
        TForm1 form;
        form.show();
        for (const QByteArray& text : seam.BoxTexts())
            EXPECT_FALSE(text.startsWith("Log Datei fehlt")) << text.toStdString();
        form.close();  // the close box
    }
    QList<QByteArray> lines = ReadAll(LogPathName()).split('\n');
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], "alt\r");
    EXPECT_TRUE(lines[1].startsWith("Beginn  "));
    {
        ScriptedSeam seam;
        TForm1 form;
        form.show();
        form.Menu_Exit->trigger();
        EXPECT_FALSE(form.isVisible());
    }
    lines = ReadAll(LogPathName()).split('\n');
    ASSERT_EQ(lines.size(), 5);
    EXPECT_TRUE(lines[2].startsWith("Beginn  "));
    EXPECT_TRUE(lines[3].startsWith("Ende    "));
    EXPECT_TRUE(lines[3].endsWith(": \r"));
}

TEST_F(MainWindowTest, ASecondLogCallDuringTheMissingFileBoxLosesNoEntry) {
    MapPorts({});
    WriteConfig();
    ScriptedSeam seam;
    TForm1 form(nullptr, false);
    ConfigValues[CfgSlot::Send] = QFile::encodeName(work.filePath("send"));
    ConfigValues[CfgSlot::Log] = "neu";
    int calls = 0;
    seam.duringBox = [&] {
        if (calls++ > 0) return;
        form.Engine->Log("Zweiter ");  // as a receive event inside the box would
    };
    form.Engine->Log("Erster ");

    EXPECT_EQ(seam.boxes.size(), 1);
    const QList<QByteArray> lines = ReadAll(work.filePath("send/neu.log")).split('\n');
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].startsWith("Erster  "));
    EXPECT_TRUE(lines[1].startsWith("Zweiter  "));

    // A log that cannot be made is the caller's error; nothing is written.
    ConfigValues[CfgSlot::Send] = QFile::encodeName(work.filePath("no/such/folder"));
    EXPECT_THROW(form.Engine->Log("Dritter "), std::runtime_error);
    EXPECT_EQ(form.Engine->LogFileName, ConfigValues[CfgSlot::Send] + "/neu.log");
}

TEST_F(MainWindowTest, SignalButtonsShareOneToggleAndEventsTurnThemRed) {
    MapPorts({});
    ScriptedSeam seam;
    TForm1 form(nullptr, false);
    form.B_CTS->click();
    EXPECT_EQ(TForm1::TextColor(form.B_CTS), kRed);
    EXPECT_EQ(form.B_CTS->font().family(), "Arial Black");
    form.B_DSR->click();
    EXPECT_EQ(TForm1::TextColor(form.B_DSR), kBlue);
    EXPECT_FALSE(form.SignalToggle);
    form.Engine->DeliverSerialEvent(TTransferEngine::SerialEvent::Dsr);
    EXPECT_EQ(TForm1::TextColor(form.B_DSR), kRed);
    form.B_CTS->click();
    EXPECT_EQ(TForm1::TextColor(form.B_CTS), kRed);
    form.B_CTS->click();
    EXPECT_EQ(TForm1::TextColor(form.B_CTS), kBlue);
}

TEST_F(MainWindowTest, ComboBoxOffersOnlyExistingPorts) {
    struct Case {
        const char* name;
        std::initializer_list<int> ports;
        QStringList items;
        int select;
        int selectedIndex;  // -1: the write is ignored
    };
    const Case cases[] = {
        {"only COM3", {3}, {"COM3"}, 3, 0},
        {"only COM3, COM1 ignored", {3}, {"COM3"}, 1, -1},
        {"COM1 and COM4", {1, 4}, {"COM1", "COM4"}, 4, 1},
        {"none", {}, {"keinen"}, 1, -1},
        {"first four listed, a later one added",
         {1, 2, 3, 5, 6},
         {"COM1", "COM2", "COM3", "COM5"},
         6,
         4},
    };
    for (const Case& c : cases) {
        ports.clear();
        MapPorts(c.ports);
        TSerial serial;
        TCOMComboBox box;
        box.SetSerial(&serial);
        QStringList items;
        for (int i = 0; i < box.count(); ++i) items << box.itemText(i);
        EXPECT_EQ(items, c.items) << c.name;
        serial.SetCOMPort(0);
        box.SetSelectedPort(c.select);
        if (c.selectedIndex >= 0) {
            EXPECT_EQ(box.currentIndex(), c.selectedIndex) << c.name;
            EXPECT_EQ(box.SelectedPort(), c.select) << c.name;
            EXPECT_EQ(serial.COMPort(), c.select) << c.name;
        } else {
            EXPECT_EQ(box.currentIndex(), 0) << c.name;
            EXPECT_EQ(serial.COMPort(), 0) << c.name;
        }
        if (c.ports.size() == 0) {
            EXPECT_EQ(box.SelectedPort(), 0) << c.name;
        }
    }
}

// Clicks a button of the chooser once it is shown modally.
void AnswerChooser(const char* button, QStringList* shown, QString* selected,
                   const std::function<void(TFormSerSel*)>& before = {}) {
    QTimer::singleShot(0, [=] {
        auto* form = qobject_cast<TFormSerSel*>(QApplication::activeModalWidget());
        if (!form) return;
        for (int i = 0; i < form->ComboBox1->count(); ++i) *shown << form->ComboBox1->itemText(i);
        *selected = form->ComboBox1->currentText();
        if (before) before(form);
        form->findChild<QPushButton*>(button)->click();
    });
}

TEST_F(MainWindowTest, ChooserShowsExistingPortsAndTakesWhatWasShown) {
    struct Case {
        const char* name;
        std::initializer_list<int> ports;
        int startPort;
        const char* button;
        int pick;  // item to pick, -1: none
        QStringList shown;
        QString selected;
        bool result;
        int endPort;
    };
    const Case cases[] = {
        {"port 0, COM2 and COM3, OK as shown",
         {2, 3},
         0,
         "ButtonOk",
         -1,
         {"COM2", "COM3"},
         "COM2",
         true,
         2},
        {"COM3 preselected, pick COM2",
         {2, 3},
         3,
         "ButtonOk",
         0,
         {"COM2", "COM3"},
         "COM3",
         true,
         2},
        {"cancel keeps the port", {2, 3}, 3, "ButtonCancel", 0, {"COM2", "COM3"}, "COM3", false, 3},
        {"no ports", {}, 0, "ButtonOk", -1, {"keine"}, "keine", true, 0},
    };
    for (const Case& c : cases) {
        ports.clear();
        MapPorts(c.ports);
        TSerial serial;
        serial.SetCOMPort(c.startPort);
        TSerSel chooser;
        chooser.SetSerial(&serial);
        QStringList shown;
        QString selected;
        AnswerChooser(c.button, &shown, &selected, [&c](TFormSerSel* form) {
            if (c.pick >= 0) form->ComboBox1->setCurrentIndex(c.pick);
        });
        const bool ok = chooser.Execute();
        EXPECT_EQ(ok, c.result) << c.name;
        EXPECT_EQ(shown, c.shown) << c.name;
        EXPECT_EQ(selected, c.selected) << c.name;
        EXPECT_EQ(serial.COMPort(), c.endPort) << c.name;
    }
}

TEST_F(MainWindowTest, PortMenuMovesTheComboBoxToTheChosenPort) {
    MapPorts({2, 3});
    ScriptedSeam seam;
    TForm1 form(nullptr, false);
    QStringList shown;
    QString selected;
    AnswerChooser("ButtonOk", &shown, &selected,
                  [](TFormSerSel* chooser) { chooser->ComboBox1->setCurrentIndex(1); });
    form.Menu_Port->trigger();
    EXPECT_EQ(form.Serial1->COMPort(), 3);
    EXPECT_EQ(form.COMComboBox1->currentText(), "COM3");
    EXPECT_TRUE(seam.boxes.isEmpty());
}

// The port box shows the port in use: one beyond the first four is added, none is none.
TEST_F(MainWindowTest, PortBoxShowsThePortInUse) {
    MapPorts({1, 2, 3, 4, 6, 7});
    ScriptedSeam seam;
    TForm1 form(nullptr, false);
    EXPECT_EQ(form.COMComboBox1->currentIndex(), -1);  // port 0 until settings are loaded
    QStringList shown;
    QString selected;
    AnswerChooser("ButtonOk", &shown, &selected,
                  [](TFormSerSel* chooser) { chooser->ComboBox1->setCurrentIndex(4); });
    form.Menu_Port->trigger();
    EXPECT_EQ(form.Serial1->COMPort(), 6);
    EXPECT_EQ(form.COMComboBox1->currentText(), "COM6");
    SaveSettings(7, br_004800, db_8, none, sb_1, true);
    form.Menu_Load->trigger();
    EXPECT_EQ(form.Serial1->COMPort(), 7);
    EXPECT_EQ(form.COMComboBox1->currentText(), "COM7");
    SaveSettings(0, br_004800, db_8, none, sb_1, true);
    form.Menu_Load->trigger();
    EXPECT_EQ(form.Serial1->COMPort(), 0);
    EXPECT_EQ(form.COMComboBox1->currentIndex(), -1);
    EXPECT_EQ(form.COMComboBox1->SelectedPort(), 0);
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join("|").toStdString();
}

TEST_F(MainWindowTest, SaveThenLoadRestoresTheRecordAndTheComboBox) {
    MapPorts({1, 3});
    WriteAll(SerDemoIni(), "[Andere]\nX=1\n");
    ScriptedSeam seam;
    TForm1 form(nullptr, false);
    form.Serial1->SetCOMPort(3);
    form.Serial1->SetBaudrate(br_038400);
    form.Serial1->SetStopBits(sb_2);
    form.Serial1->SetXOnLimit(123);
    TSerialSettings saved;
    form.Serial1->GetSettings(saved);
    form.Menu_Save->trigger();
    form.Menu_Save->trigger();
    ASSERT_EQ(seam.boxes.size(), 2);
    EXPECT_EQ(
        seam.boxes[0].text,
        "Die Einstellungen wurden im Windows-Verzeichnis\rin der Datei SerDemo.ini gespeichert.");
    EXPECT_EQ(seam.boxes[0].kind, Modal::BoxKind::Plain);
    const QByteArray file = ReadAll(SerDemoIni());
    EXPECT_TRUE(file.startsWith("[Andere]\nX=1\n[SerBsp1]\nConfiguration=")) << file.toStdString();
    EXPECT_EQ(file.count("Configuration="), 1);

    // Change everything, then load with the port closed: no message.
    form.Serial1->SetCOMPort(1);
    form.COMComboBox1->SetSelectedPort(1);
    form.Serial1->SetBaudrate(br_001200);
    form.Serial1->SetStopBits(sb_1);
    form.Serial1->SetXOnLimit(400);
    form.Menu_Load->trigger();
    EXPECT_EQ(seam.boxes.size(), 2);
    TSerialSettings loaded;
    form.Serial1->GetSettings(loaded);
    QByteArray a, b;
    form.Serial1->SettingsToText(saved, a);
    form.Serial1->SettingsToText(loaded, b);
    EXPECT_EQ(a, b);
    EXPECT_EQ(form.COMComboBox1->currentText(), "COM3");

    // LadeBaud loads once, until the reset.
    form.LadeBaud();
    form.LadeBaud();
    EXPECT_EQ(form.Engine->BaudLoaded, 1);
    EXPECT_EQ(seam.boxes.size(), 2);

    // Loading while the port is open: applied to the component, old settings stay on the line.
    form.Serial1->SetBaudrate(br_004800);
    form.Verbinde();
    ASSERT_TRUE(form.Serial1->Active());
    form.Menu_Load->trigger();
    ASSERT_EQ(seam.boxes.size(), 3);
    EXPECT_EQ(seam.boxes[2].text,
              Ansi::Lit("Die Schnittstelle ist zur Zeit geöffnet.\rDie neuen Einstellungen "
                        "werden erst übernommen,\rwenn die Schnittstelle geschlossen und neu\r"
                        "geöffnet wird."));
    EXPECT_EQ(form.Serial1->Baudrate(), br_038400);
    quint32 in = 0, out = 0;
    ASSERT_TRUE(Port::GetRate(ports[3]->Slave(), in, out));
    EXPECT_EQ(out, 4800u);
}

TEST_F(MainWindowTest, InvalidOrMissingStoredTextChangesNothing) {
    MapPorts({1});
    struct Case {
        const char* name;
        QByteArray file;
        QByteArray message;
    };
    const Case cases[] = {
        {"no file", {}, "Es liegen keine gespeicherten Konfigurationsdaten vor!"},
        {"empty value", "[SerBsp1]\r\nConfiguration=\r\n",
         "Es liegen keine gespeicherten Konfigurationsdaten vor!"},
        {"other section only", "[X]\r\nConfiguration=abc\r\n",
         "Es liegen keine gespeicherten Konfigurationsdaten vor!"},
        {"garbage", "[SerBsp1]\r\nConfiguration=abc\r\n",
         Ansi::Lit("Die Konfigurationsdaten sind ungültig!")},
    };
    for (const Case& c : cases) {
        QFile::remove(SerDemoIni());
        if (!c.file.isNull()) WriteAll(SerDemoIni(), c.file);
        ScriptedSeam seam;
        TForm1 form(nullptr, false);
        form.Serial1->SetCOMPort(1);
        form.Menu_Load->trigger();
        ASSERT_EQ(seam.boxes.size(), 1) << c.name;
        EXPECT_EQ(seam.boxes[0].text, c.message) << c.name;
        EXPECT_EQ(form.Serial1->Baudrate(), br_004800) << c.name;
        EXPECT_EQ(form.Serial1->COMPort(), 1) << c.name;
    }
}

TEST_F(MainWindowTest, AFailedSaveIsReportedWithoutTheSuccessMessage) {
    MapPorts({});
    ScriptedSeam seam;
    TForm1 form(nullptr, false);
    // The settings folder cannot be made: a file stands where it should be.
    WriteAll(work.filePath("blocker"), "x");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(work.filePath("blocker")));
    form.Menu_Save->trigger();
    ASSERT_EQ(seam.boxes.size(), 1);
    EXPECT_EQ(seam.boxes[0].kind, Modal::BoxKind::Error);
    EXPECT_TRUE(seam.boxes[0].text.contains("SerDemo.ini") ||
                seam.boxes[0].text.contains("dnc-server"))
        << seam.boxes[0].text.toStdString();
}

TEST_F(MainWindowTest, ConnectClearsTheMemosAndDisconnectKeepsThem) {
    MapPorts({1});
    ScriptedSeam seam;
    TForm1 form(nullptr, false);
    form.show();
    form.Serial1->SetCOMPort(1);
    form.MemoRec->setPlainText("alt");
    form.ButtonConnect->click();
    ASSERT_TRUE(form.Serial1->Active());
    EXPECT_TRUE(form.MemoRec->toPlainText().isEmpty());
    EXPECT_TRUE(form.MemoFile->toPlainText().isEmpty());
    EXPECT_EQ(form.focusWidget(), form.MemoTrm);
    form.MemoRec->setPlainText("neu");
    form.ButtonConnect->click();
    EXPECT_FALSE(form.Serial1->Active());
    EXPECT_EQ(form.MemoRec->toPlainText(), "neu");
    EXPECT_EQ(form.StatusText(), "Schnittstelle geschlossen");
    EXPECT_EQ(form.ButtonConnect->text(), "&Verbinden");
    EXPECT_TRUE(seam.boxes.isEmpty());
}

TEST_F(MainWindowTest, ReadingGoesOnWhileADecisionWaitsForItsBox) {
    MapPorts({1});
    ScriptedSeam seam;
    TForm1 form(nullptr, false);
    form.Serial1->SetCOMPort(1);
    form.Verbinde();
    ASSERT_TRUE(form.Serial1->Active());

    // While the receive event waits for its save box (a program without a "DFS," name), the
    // next programs arrive whole: they are read at once, but saved only after the box. What
    // waits is held up to the receive limit; past it the line is held.
    ConfigValues[CfgSlot::Save] = QFile::encodeName(work.path());
    ConfigValues[CfgSlot::PrgAK] = "Prg";
    ConfigValues[CfgSlot::Ext] = "CNC";
    TransferRules::ReceiveLimit() = 40;
    const QByteArray next[] = {"%\n(DFS,P2,)\nN10 G0\nM30\n", "(DFS,P3,)\nN10 G1\nM30\n",
                               "(DFS,P4,)\nN10 G2\nM30\n"};
    bool readInside = false, heldInside = false, savedInside = true;
    bool once = false;
    const auto send = [&](const QByteArray& bytes) {
        ASSERT_EQ(::write(ports[1]->Master(), bytes.constData(), size_t(bytes.size())),
                  bytes.size());
    };
    seam.duringBox = [&] {
        if (std::exchange(once, true)) return;
        send(next[0]);
        readInside = transfer_wait([&] {
            form.FlushMemos();
            return form.MemoRec->toPlainText().endsWith(QString::fromLatin1(next[0]));
        });
        send(next[1]);
        readInside = readInside && transfer_wait([&] {
                         form.FlushMemos();
                         return form.MemoRec->toPlainText().endsWith(QString::fromLatin1(next[1]));
                     });
        send(next[2]);
        heldInside = transfer_wait([&] {
            form.FlushMemos();
            return form.MemoFile->toPlainText().contains(QStringLiteral("Empfang angehalten"));
        });
        savedInside = QFileInfo::exists(work.filePath("P2.CNC"));
        EXPECT_TRUE(form.Engine->SerialHandlerRunning());
    };
    ASSERT_EQ(::write(ports[1]->Master(), "%\r\nN1 X0\r\nM30\r\n", 15), 15);
    const bool allSaved = transfer_wait(
        [&] { return once && !form.Engine->Busy() && QFileInfo::exists(work.filePath("P4.CNC")); });
    TransferRules::ReceiveLimit() = 64 * 1024 * 1024;
    ASSERT_TRUE(allSaved);
    EXPECT_TRUE(readInside);
    EXPECT_TRUE(heldInside);
    EXPECT_FALSE(savedInside) << "the decisions on the next programs wait for the box";
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(ReadAll(work.filePath("P" + QString::number(k + 2) + ".CNC")), next[k] + "\r\n");
    }
}

// A pulled adapter: no box waits for a click; the window says so, keeps "Trennen" to stop
// the tries, and is connected again by itself when the device is back.
TEST_F(MainWindowTest, ALostDeviceShowsNoBoxAndComesBackByItself) {
    MapPorts({1});
    WriteAll(work.filePath("Protokoll.log"), "");  // the log that start-up would have begun
    ScriptedSeam seam;
    TForm1 form(nullptr, false);
    form.Serial1->SetCOMPort(1);
    // COM1 -> ttyUSB0 -> the pseudo-terminal: the adapter comes back under its name.
    const QString link = work.filePath("ttyUSB0");
    ASSERT_TRUE(ports[1]->LinkAs(link));
    ASSERT_TRUE(
        TestPty::Relink(TestPty::PortEntry(work.filePath("config"), 1), QFile::encodeName(link)));
    form.Verbinde();
    ASSERT_TRUE(form.Serial1->Active());
    ports[1]->Close();
    ASSERT_TRUE(TestPty::Relink(link, "/nonexistent/tty"));
    ASSERT_TRUE(transfer_wait([&] { return form.Engine->Reconnecting(); }));
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
    EXPECT_TRUE(form.StatusText().startsWith("Verbindung zur Schnittstelle COM1 verloren"));
    EXPECT_EQ(form.ButtonConnect->text(), "&Trennen");
    EXPECT_FALSE(form.ButtonSendBlock->isEnabled());

    ports[1] = std::make_unique<TestPty>();
    ASSERT_TRUE(ports[1]->LinkAs(link));
    ASSERT_TRUE(transfer_wait([&] { return form.Serial1->Active(); }));
    EXPECT_TRUE(form.ButtonSendBlock->isEnabled());
    EXPECT_EQ(form.StatusText(),
              Ansi::Lit("Schnittstelle COM1 wieder geöffnet (") + QFile::encodeName(link) + ")");

    // Lost again; this time the operator stops the tries.
    ports[1]->Close();
    ASSERT_TRUE(TestPty::Relink(link, "/nonexistent/tty"));
    ASSERT_TRUE(transfer_wait([&] { return form.Engine->Reconnecting(); }));
    form.ButtonConnect->click();
    EXPECT_FALSE(form.Engine->Reconnecting());
    EXPECT_EQ(form.ButtonConnect->text(), "&Verbinden");
    EXPECT_EQ(form.StatusText(), "Schnittstelle geschlossen");
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
}

TEST_F(MainWindowTest, LayoutHelpAndAbout) {
    MapPorts({});
    ScriptedSeam seam;
    TForm1 form(nullptr, false);
    form.show();
    // The menu bar takes nothing from the client area.
    EXPECT_EQ(form.centralWidget()->height() + form.StatusBar1->height(), 484);
    EXPECT_FALSE(form.MemoInfo->isVisible());
    EXPECT_TRUE(form.RBAuto->isChecked());
    EXPECT_FALSE(form.windowIcon().isNull());
    EXPECT_EQ(form.Engine->OpenDialogCnc.filter,
              "CNC Programme(*.CNC) (*.CNC);;Alle Programme(*.*) (*.*)");

    form.Hilfe1->trigger();
    auto* help = form.findChild<QTextBrowser*>("HelpWindow");
    ASSERT_NE(help, nullptr);
    EXPECT_TRUE(help->isVisible());
    EXPECT_TRUE(help->toPlainText().contains("Abruf"))
        << help->toPlainText().left(200).toStdString();
    EXPECT_EQ(help->source().fragment(), "Inhalt");
    EXPECT_TRUE(seam.boxes.isEmpty());

    EXPECT_TRUE(SaveScreenshot(form, "mainwin.png"));

    TFormAbout about;
    EXPECT_TRUE(SaveScreenshot(about, "mainwin-about.png"));
    TFormSerSel chooser;
    EXPECT_TRUE(SaveScreenshot(chooser, "mainwin-sersel.png"));
}

}  // namespace

// The first minutes with the program: started from the desktop menu in an empty home, with
// no display, with the device of its port missing; Qt's own dialogs in German.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>

#include "common/Ansi.h"
#include "common/ScriptedSeam.h"
#include "config/ConfigValues.h"
#include "config/Konfig.h"
#include "engine/SerialSettings.h"
#include "engine/TransferEngine.h"
#include "mainwindow/Unit1.h"
#include "mainwindow/Workspace.h"
#include "serial/Serial.h"
#include "tests/common/Screenshot.h"
#include "tests/common/TestFiles.h"
#include "tests/serial/PtyPortMap.h"
#include "widgets/Translations.h"

using test_files::ReadFile;
using test_files::WriteFile;

namespace {

// An empty home; the port map's names lead nowhere until a test plugs a device in.
class FirstStartTest : public ::testing::Test {
  protected:
    QTemporaryDir home;
    QByteArray oldHome = qgetenv("HOME");
    QString oldDir = QDir::currentPath();

    void SetUp() override {
        ASSERT_TRUE(home.isValid());
        qputenv("HOME", QFile::encodeName(home.path()));
        ConfigValues.fill(QByteArray());
        ConfigFileName = QStringLiteral("Config.ini");
    }
    void TearDown() override {
        QDir::setCurrent(oldDir);
        qputenv("HOME", oldHome);
    }
};

TEST_F(FirstStartTest, TheMenuStartMeetsWorkingSettingsAndWaitsForTheDevice) {
    // The desktop entry's command line is the start this test makes.
    EXPECT_TRUE(ReadFile(DNC_SOURCE_DIR "/packaging/dnc-server.desktop")
                    .contains("\nExec=dnc-server --workspace\n"));
    PtyPortMap map;  // COM1 leads nowhere: the adapter is not plugged in
    const QString folder = home.filePath("DNC-Server");

    const Workspace::TEntered entered = Workspace::Enter();
    EXPECT_EQ(entered.folder, folder);
    EXPECT_TRUE(entered.created);
    EXPECT_TRUE(entered.serialDefaults);
    EXPECT_EQ(QDir::currentPath(), folder);
    ScriptedSeam seam;
    TForm1 form;
    form.show();
    Workspace::Announce(&form, entered);

    // One box, which says where the workspace is; no chain of questions before it.
    ASSERT_EQ(seam.boxes.size(), 1) << seam.BoxTexts().join("|").toStdString();
    EXPECT_EQ(seam.boxes[0].kind, Modal::BoxKind::Information);
    EXPECT_EQ(seam.boxes[0].text, Workspace::FirstStartText(entered));
    EXPECT_TRUE(seam.boxes[0].text.contains(QFile::encodeName(folder) + "/empfangen"));
    EXPECT_TRUE(seam.fileDialogs.isEmpty());
    // Config.ini's folders exist, and the start was logged into the one it names.
    EXPECT_TRUE(QFileInfo(QString::fromLatin1(CfgSend())).isDir()) << CfgSend().data();
    EXPECT_TRUE(QFileInfo(QString::fromLatin1(CfgSave())).isDir()) << CfgSave().data();
    EXPECT_TRUE(ReadFile(folder + "/senden/DNC-Protokoll.log").startsWith("Beginn  "));

    // The missing device reads as in the service: which port, which device, that it waits.
    const QByteArray waiting = PortMissingText(1);
    EXPECT_TRUE(waiting.contains("COM1 (/nonexistent/tty)")) << waiting.data();
    EXPECT_TRUE(waiting.contains("wartet auf das Ger")) << waiting.data();
    EXPECT_EQ(form.StatusText(), waiting);
    EXPECT_EQ(form.ButtonConnect->text(), "&Trennen");
    EXPECT_FALSE(form.ButtonSendBlock->isEnabled());
    EXPECT_TRUE(SaveScreenshot(form, "first-start-waiting.png"));

    // The adapter is plugged in: the port opens with no click.
    map.AddPty(1);
    ASSERT_TRUE(PtyPortMap::WaitFor([&] { return form.Serial1->Active(); }));
    EXPECT_EQ(form.ButtonConnect->text(), "&Trennen");
    EXPECT_TRUE(form.ButtonSendBlock->isEnabled());
    EXPECT_TRUE(form.StatusText().startsWith("Schnittstelle COM1 ge")) << form.StatusText().data();
    form.close();

    // The next start finds the workspace as the user left it, and asks nothing.
    QFile config(folder + "/Config.ini");
    ASSERT_TRUE(config.open(QIODevice::Append));
    config.write("eigene Zeile\r\n");
    config.close();
    const QByteArray edited = ReadFile(folder + "/Config.ini");
    QDir::setCurrent(oldDir);
    const Workspace::TEntered again = Workspace::Enter();
    EXPECT_FALSE(again.created);
    EXPECT_FALSE(again.serialDefaults);
    EXPECT_EQ(ReadFile(folder + "/Config.ini"), edited);
    Workspace::Announce(&form, again);
    EXPECT_EQ(seam.boxes.size(), 1);
}

// Settings that cannot be written (a file where their folder belongs) keep nobody out of the
// workspace: the start goes on there, and the trace says why.
TEST_F(FirstStartTest, UnwritableSettingsStillEnterTheWorkspace) {
    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath("config")));
    WriteFile(home.filePath("config/dnc-server"), "no folder");
    Workspace::TEntered entered;
    EXPECT_NO_THROW(entered = Workspace::Enter());
    qputenv("XDG_CONFIG_HOME", oldConfig);
    EXPECT_TRUE(entered.created);
    EXPECT_FALSE(entered.serialDefaults);
    EXPECT_FALSE(entered.serialProblem.isEmpty());
    EXPECT_EQ(QDir::currentPath(), home.filePath("DNC-Server"));
    EXPECT_TRUE(QFileInfo::exists(home.filePath("DNC-Server/Config.ini")));
}

// The missing-log message names the folder the new log is made in.
TEST_F(FirstStartTest, TheMissingLogNamesItsFolder) {
    PtyPortMap map;
    const Workspace::TEntered entered = Workspace::Enter();
    QFile::remove(entered.folder + "/senden/DNC-Protokoll.log");
    ScriptedSeam seam;
    TForm1 form;
    ASSERT_EQ(seam.boxes.size(), 1) << seam.BoxTexts().join("|").toStdString();
    EXPECT_TRUE(seam.boxes[0].text.startsWith("Log Datei fehlt"));
    EXPECT_TRUE(seam.boxes[0].text.endsWith(" erstellen in Dir " +
                                            QFile::encodeName(entered.folder) + "/senden"))
        << seam.boxes[0].text.data();
}

// Without a display the program says what to do instead and ends with its status 10,
// before Qt would abort: no display named at all, and one named that does not answer.
TEST_F(FirstStartTest, WithoutADisplayTheProgramNamesTheServiceAndEnds) {
    struct Case {
        const char* display;
        const char* platform;
    };
    for (const Case c : {Case{nullptr, nullptr}, Case{":97", "xcb"}}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        if (c.display) env.insert("DISPLAY", c.display);
        if (c.platform) env.insert("QT_QPA_PLATFORM", c.platform);
        env.insert("XDG_CONFIG_HOME", home.filePath("config"));
        QProcess program;
        program.setProcessEnvironment(env);
        program.setWorkingDirectory(home.path());
        program.start(DNC_SERVER, {"--workspace"});
        ASSERT_TRUE(program.waitForFinished(20000));
        const QString said = QString::fromUtf8(program.readAllStandardError());
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << said.toStdString();
        EXPECT_EQ(program.exitCode(), 10) << said.toStdString();
        EXPECT_TRUE(said.contains("Kein Bildschirm")) << said.toStdString();
        EXPECT_TRUE(said.contains("dnc-server --service")) << said.toStdString();
        EXPECT_TRUE(said.contains("QT_QPA_PLATFORM")) << said.toStdString();
        EXPECT_FALSE(said.contains("Reinstalling")) << said.toStdString();
        // Nothing was made: the program never got as far as the workspace.
        EXPECT_FALSE(QFileInfo::exists(home.filePath("DNC-Server")));
    }
}

// Qt's own dialogs and buttons speak German like the rest of the program.
TEST(QtTexts, StandardDialogsAreGerman) {
    ASSERT_TRUE(LoadGermanQtTexts()) << "qt6-translations-l10n is not installed";
    QFileDialog dialog;
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    auto* lookIn = dialog.findChild<QLabel*>(QStringLiteral("lookInLabel"));
    ASSERT_NE(lookIn, nullptr);
    EXPECT_EQ(lookIn->text(), QStringLiteral("Suchen in:"));
    auto* name = dialog.findChild<QLabel*>(QStringLiteral("fileNameLabel"));
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->text(), QStringLiteral("Datei&name:"));
    QMessageBox box(QMessageBox::Question, "t", "t", QMessageBox::Open | QMessageBox::Cancel);
    EXPECT_EQ(box.button(QMessageBox::Open)->text(), QStringLiteral("Öffnen"));
    EXPECT_EQ(box.button(QMessageBox::Cancel)->text(), QStringLiteral("Abbrechen"));
}

}  // namespace

// The main window's "Check" menu and the viewer it shows.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include "common/Ansi.h"
#include "common/ScriptedSeam.h"
#include "config/ConfigValues.h"
#include "mainwindow/Unit1.h"
#include "viewer/Unit4.h"

namespace {

// Whether this process still has a descriptor open on path.
bool HeldOpen(const QString& path) {
    const QDir fds("/proc/self/fd");
    for (const QString& fd : fds.entryList(QDir::Files | QDir::System)) {
        if (QFileInfo(fds.filePath(fd)).symLinkTarget() == QFileInfo(path).canonicalFilePath()) {
            return true;
        }
    }
    return false;
}

class ManualCheck : public ::testing::Test {
  protected:
    QTemporaryDir work;
    ScriptedSeam seam;
    TForm1 window{nullptr, false};
    TForm4 viewer;

    void SetUp() override {
        ConfigValues[CfgSlot::Send] = Ansi::FromQString(work.path());
        ConfigValues[CfgSlot::Log] = "dnc";
        Form4 = &viewer;
    }
    void Log(const QByteArray& text) { window.Engine->Log(text); }
};

TEST_F(ManualCheck, LogOfThreeEntriesIsNumberedAndTheNextEntryIsWritten) {
    Log("Beginn ");  // creates the log after its box
    Log("/w/1234.CNC gesendete PRG Nr = 1");
    Log("Ende   ");
    seam.boxes.clear();

    window.LogFile1->trigger();
    EXPECT_TRUE(viewer.isVisible());
    EXPECT_EQ(viewer.StatusText(), " Datei  " + window.Engine->LogFileName + "  geladen. ");
    const QList<QByteArray> shown = viewer.ViewText().split('\n');
    ASSERT_EQ(shown.size(), 3);
    EXPECT_TRUE(shown[0].startsWith("1 - Beginn  "));
    EXPECT_TRUE(shown[1].startsWith("2 - /w/1234.CNC gesendete PRG Nr = 1 "));
    EXPECT_TRUE(shown[2].startsWith("3 - Ende    "));
    const QString log = Ansi::ToQString(window.Engine->LogFileName);
    EXPECT_FALSE(HeldOpen(log));

    Log("/w/5678.CNC gesendete PRG Nr = 2");
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
    QFile f(log);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll().count("\r\n"), 4);

    // A log that is gone is reported; the view keeps what it showed.
    window.Engine->LogFileName = Ansi::FromQString(work.filePath("none.log"));
    window.LogFile1->trigger();
    ASSERT_EQ(seam.boxes.size(), 1);
    EXPECT_TRUE(seam.boxes[0].text.contains("none.log"));
    EXPECT_EQ(viewer.ViewText().split('\n').size(), 3);
}

TEST_F(ManualCheck, CncFileIsRememberedForSaveFileAndLoadInEditorIsNot) {
    const QString a = work.filePath("a.cnc"), b = work.filePath("b.cnc");
    for (const QString& path : {a, b}) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("%\r\nM30\r\n");
    }
    viewer.SaveFile1->trigger();  // before any CNCFile
    ASSERT_EQ(seam.boxes.size(), 1);
    EXPECT_EQ(seam.boxes[0].text, "Geladene Datei    Speichern in Dir");

    seam.fileAnswers << a << b;
    window.CNCFile1->trigger();
    EXPECT_EQ(window.ViewFileName, Ansi::FromQString(a));
    EXPECT_EQ(viewer.StatusText(), " Datei  " + Ansi::FromQString(a) + "  geladen. ");
    EXPECT_EQ(viewer.ViewText(), "1  - %\n2  - M30");
    window.CNCLoadinEditor1->trigger();
    EXPECT_EQ(viewer.StatusText(), " Datei  " + Ansi::FromQString(b) + "  geladen. ");
    viewer.SaveFile1->trigger();
    EXPECT_EQ(seam.boxes.last().text,
              "Geladene Datei  " + Ansi::FromQString(a) + "  Speichern in Dir");

    // Cancelled: visible, empty, the old status text.
    viewer.hide();
    window.CNCFile1->trigger();
    EXPECT_TRUE(viewer.isVisible());
    EXPECT_EQ(viewer.ViewText(), "");
    EXPECT_EQ(viewer.StatusText(), " Datei  " + Ansi::FromQString(b) + "  geladen. ");
    EXPECT_EQ(window.OpenDialogLogBox.fileName, "b.cnc");  // the dialog remembers
}

}  // namespace

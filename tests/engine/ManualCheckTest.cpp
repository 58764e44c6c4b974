// The main window's "Check" menu and the viewer it shows.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextBlock>

#include "common/Ansi.h"
#include "common/ScriptedSeam.h"
#include "config/ConfigValues.h"
#include "engine/Unit1.h"
#include "viewer/Unit4.h"

namespace {

class ManualCheck : public ::testing::Test {
  protected:
    QTemporaryDir work;
    ScriptedSeam seam;
    std::unique_ptr<TForm1> window;
    std::unique_ptr<TForm4> viewer;

    void SetUp() override {
        ConfigValues[CfgSlot::Send] = Ansi::FromQString(work.path());
        ConfigValues[CfgSlot::Log] = "dnc";
        window = std::make_unique<TForm1>(nullptr, false);
        viewer = std::make_unique<TForm4>();
        Form4 = viewer.get();
    }
    void TearDown() override {
        viewer.reset();  // clears Form4
        window.reset();
    }

    QString Path(const char* name) const { return work.filePath(name); }
    void Write(const char* name, const QByteArray& bytes) {
        QFile f(Path(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QByteArray Shown() const { return viewer->ViewText(); }
    void Log(const QByteArray& text) {
        window->LogText = text;
        window->LogFile();
    }
};

TEST_F(ManualCheck, LogFileShowsTheEntriesNumberedAndTheLogStaysWritable) {
    Log("Beginn ");  // the first entry creates the log after its box
    Log("/w/1234.CNC gesendete PRG Nr = 1");
    Log("Ende   ");
    seam.boxes.clear();

    window->LogFile1->trigger();
    EXPECT_TRUE(viewer->isVisible());
    EXPECT_EQ(viewer->StatusText(), " Datei  " + window->LogFileName + "  geladen. ");
    ASSERT_EQ(viewer->Edit1->blockCount(), 3);
    EXPECT_TRUE(viewer->Edit1->document()->findBlockByNumber(0).text().startsWith("1 - Beginn  "));
    EXPECT_TRUE(viewer->Edit1->document()->findBlockByNumber(1).text().startsWith(
        "2 - /w/1234.CNC gesendete PRG Nr = 1 "));
    EXPECT_TRUE(viewer->Edit1->document()->findBlockByNumber(2).text().startsWith("3 - Ende    "));

    // The next transfer's entry is written normally after the viewer has read the log.
    Log("/w/5678.CNC gesendete PRG Nr = 2");
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
    QFile log(Ansi::ToQString(window->LogFileName));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_EQ(log.readAll().count("\r\n"), 4);
}

TEST_F(ManualCheck, MissingLogIsReportedAndTheViewKeepsItsText) {
    viewer->Edit1->setPlainText("earlier");
    window->LogFileName = Ansi::FromQString(Path("none.log"));
    window->LogFile1->trigger();
    ASSERT_EQ(seam.boxes.size(), 1);
    EXPECT_EQ(seam.boxes[0].kind, Modal::BoxKind::Error);
    EXPECT_TRUE(seam.boxes[0].text.contains("none.log"));
    EXPECT_EQ(Shown(), "earlier");
    EXPECT_EQ(viewer->StatusText(), " Datei  " + window->LogFileName + "  geladen. ");
}

TEST_F(ManualCheck, CncFileIsRememberedForSaveFileAndLoadInEditorIsNot) {
    Write("a.cnc", "%\r\nM30\r\n");
    Write("b.cnc", "N5\r\n");

    viewer->SaveFile1->trigger();  // before any CNCFile
    ASSERT_EQ(seam.boxes.size(), 1);
    EXPECT_EQ(seam.boxes[0].text, "Geladene Datei    Speichern in Dir");

    seam.fileAnswers << Path("a.cnc");
    window->CNCFile1->trigger();
    const QByteArray a = Ansi::FromQString(Path("a.cnc"));
    EXPECT_EQ(window->ViewFileName, a);
    EXPECT_EQ(viewer->StatusText(), " Datei  " + a + "  geladen. ");
    EXPECT_EQ(Shown(), "1  - %\n2  - M30");

    seam.fileAnswers << Path("b.cnc");
    window->CNCLoadinEditor1->trigger();
    EXPECT_EQ(Shown(), "1  - N5");
    EXPECT_EQ(window->ViewFileName, a);
    viewer->SaveFile1->trigger();
    EXPECT_EQ(seam.boxes.last().text, "Geladene Datei  " + a + "  Speichern in Dir");
    EXPECT_EQ(seam.boxes.last().kind, Modal::BoxKind::Information);

    // Cancelled: visible, empty, the old status text.
    const QByteArray status = viewer->StatusText();
    viewer->hide();
    window->CNCFile1->trigger();
    EXPECT_TRUE(viewer->isVisible());
    EXPECT_EQ(Shown(), "");
    EXPECT_EQ(viewer->StatusText(), status);
    EXPECT_EQ(window->ViewFileName, a);
    // Every command asked the main window's log dialog, which remembers the last file.
    EXPECT_EQ(seam.fileDialogs.size(), 3);
    EXPECT_EQ(window->OpenDialogLogBox.fileName, "b.cnc");
}

}  // namespace

#include <gtest/gtest.h>

#include <QAction>
#include <QDir>
#include <QFile>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextBlock>

#include "common/Ansi.h"
#include "common/ScriptedSeam.h"
#include "viewer/Unit4.h"

namespace {

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// Whether this process still has a descriptor open on path.
bool HeldOpen(const QString& path) {
    const QString target = QFileInfo(path).canonicalFilePath();
    const QDir fds("/proc/self/fd");
    for (const QString& fd : fds.entryList(QDir::Files | QDir::System)) {
        if (QFileInfo(fds.filePath(fd)).symLinkTarget() == target) return true;
    }
    return false;
}

class Viewer : public ::testing::Test {
  protected:
    QTemporaryDir dir;
    ScriptedSeam seam;
    TForm4 form;
    Modal::FileDialog logBox = DefaultLogBox();
    QByteArray ViewFileName;

    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        form.Attach(&logBox, &ViewFileName);
    }
    QString Path(const char* name) const { return dir.filePath(name); }
};

TEST(NumberLines, NumbersFromOneWithTheGivenSeparator) {
    EXPECT_EQ(NumberLines({"Beginn  Di", "Ende", "x"}, kLogSeparator),
              "1 - Beginn  Di\n2 - Ende\n3 - x");
    EXPECT_EQ(NumberLines({"%", ""}, kFileSeparator), "1  - %\n2  - ");
    EXPECT_EQ(NumberLines({}, kFileSeparator), "");
}

TEST_F(Viewer, HasTheDesignedSizeCaptionAndMenu) {
    EXPECT_EQ(form.size(), QSize(443, 788));
    EXPECT_EQ(form.windowTitle(), "Check Data File Log oder CNC");
    QStringList menus;
    for (QAction* a : form.menuBar()->actions()) menus << a->text();
    EXPECT_EQ(menus, (QStringList{"Anzeigen", "Edit", "Fenster Schliesen"}));
    EXPECT_EQ(form.LogDataDefault1->shortcut(), QKeySequence("Ctrl+L"));
    EXPECT_EQ(form.CheckCNCFile1->shortcut(), QKeySequence("Ctrl+F"));
    EXPECT_EQ(Ansi::FromQString(form.Clear1->text()), Ansi::Lit("Clear / Anzeige Zurücksetzen"));
    EXPECT_EQ(form.Edit1->geometry(), QRect(0, 8, 401, 681));
}

TEST_F(Viewer, LogFileOfThreeEntriesIsNumberedAndNotHeldOpen) {
    const QString log = Path("dnc.log");
    WriteFile(log,
              "Beginn  Di 8. Dez. 2026, 10:00:00: \r\n"
              "/x/1234.CNC gesendete PRG Nr = 1 Di 8. Dez. 2026, 10:01:00: \r\n"
              "Ende    Di 8. Dez. 2026, 10:02:00: \r\n");
    form.ReplaceWithFile(log, kLogSeparator);
    EXPECT_EQ(form.ViewText(),
              "1 - Beginn  Di 8. Dez. 2026, 10:00:00: \n"
              "2 - /x/1234.CNC gesendete PRG Nr = 1 Di 8. Dez. 2026, 10:01:00: \n"
              "3 - Ende    Di 8. Dez. 2026, 10:02:00: ");
    EXPECT_FALSE(HeldOpen(log));
}

TEST_F(Viewer, UnreadableFileLeavesTheViewAndIsReported) {
    WriteFile(Path("a.log"), "first\n");
    form.ReplaceWithFile(Path("a.log"), kLogSeparator);
    EXPECT_THROW(form.ReplaceWithFile(Path("gone.log"), kLogSeparator), std::runtime_error);
    EXPECT_EQ(form.ViewText(), "1 - first");

    // Through the menu the handler guard reports it instead of letting it escape.
    seam.fileAnswers << Path("gone.cnc");
    form.CheckCNCFile1->trigger();
    ASSERT_EQ(seam.boxes.size(), 1);
    EXPECT_EQ(seam.boxes[0].kind, Modal::BoxKind::Error);
    EXPECT_TRUE(seam.boxes[0].text.contains("gone.cnc")) << seam.boxes[0].text.constData();
    EXPECT_EQ(form.ViewText(), "");
}

TEST_F(Viewer, CheckCncFileShowsEveryLineAndKeepsStatusAndName) {
    QByteArray content;
    for (int i = 1; i <= 120; ++i) content += "N" + QByteArray::number(i * 10) + "\r\n";
    WriteFile(Path("p.cnc"), content);
    form.SetStatusText(" Datei  old  geladen. ");
    ViewFileName = "/earlier.cnc";
    seam.fileAnswers << Path("p.cnc");
    form.CheckCNCFile1->trigger();

    EXPECT_EQ(form.Edit1->blockCount(), 120);
    EXPECT_EQ(form.Edit1->document()->firstBlock().text(), "1  - N10");
    EXPECT_EQ(form.Edit1->document()->lastBlock().text(), "120  - N1200");
    EXPECT_EQ(form.StatusText(), " Datei  old  geladen. ");
    EXPECT_EQ(ViewFileName, "/earlier.cnc");
    // The dialog remembers where the file came from for the next command.
    EXPECT_EQ(QDir(logBox.directory), QDir(dir.path()));

    seam.fileAnswers << QString();  // cancelled: the view is emptied and stays empty
    form.CheckCNCFile1->trigger();
    EXPECT_EQ(form.ViewText(), "");
    EXPECT_TRUE(seam.boxes.isEmpty());
}

TEST_F(Viewer, SaveFileOnlyNamesTheFileAndWritesNothing) {
    form.SaveFile1->trigger();
    ASSERT_EQ(seam.boxes.size(), 1);
    EXPECT_EQ(seam.boxes[0].kind, Modal::BoxKind::Information);
    EXPECT_EQ(seam.boxes[0].text, "Geladene Datei    Speichern in Dir");

    WriteFile(Path("p.cnc"), "%\r\nM30\r\n");
    form.ReplaceWithFile(Path("p.cnc"), kFileSeparator);
    form.Edit1->appendPlainText("typed by the operator");
    ViewFileName = Ansi::FromQString(Path("p.cnc"));
    form.SaveFile1->trigger();
    EXPECT_EQ(seam.boxes.last().text, "Geladene Datei  " + ViewFileName + "  Speichern in Dir");
    EXPECT_EQ(ReadFile(Path("p.cnc")), "%\r\nM30\r\n");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"p.cnc"});
}

TEST_F(Viewer, ClearAndCloseEmptyTheViewButKeepTheStatus) {
    WriteFile(Path("p.cnc"), "a\nb\n");
    form.SetStatusText("kept");
    form.ReplaceWithFile(Path("p.cnc"), kFileSeparator);
    form.Clear1->trigger();
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.ViewText(), "");

    form.ReplaceWithFile(Path("p.cnc"), kFileSeparator);
    form.Close1->trigger();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.ViewText(), "");
    EXPECT_EQ(form.StatusText(), "kept");
}

TEST_F(Viewer, HundredThousandLinesAreAllShown) {
    QByteArray content;
    for (int i = 1; i <= 100000; ++i) content += "N" + QByteArray::number(i) + " G1 X10\r\n";
    WriteFile(Path("big.cnc"), content);
    form.ShowViewer();
    form.ReplaceWithFile(Path("big.cnc"), kFileSeparator);
    EXPECT_EQ(form.Edit1->blockCount(), 100000);
    EXPECT_EQ(form.Edit1->document()->lastBlock().text(), "100000  - N100000 G1 X10");
}

}  // namespace

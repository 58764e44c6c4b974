#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>

#include "common/ScriptedSeam.h"
#include "viewer/Unit4.h"
#include "widgets/Placement.h"

namespace {

class Viewer : public ::testing::Test {
  protected:
    QTemporaryDir dir;
    ScriptedSeam seam;
    TForm4 form;
    Modal::FileDialog logBox = DefaultLogBox();
    QByteArray viewFileName = "/earlier.cnc";

    void SetUp() override { form.Attach(&logBox, &viewFileName); }
    QString Write(const char* name, const QByteArray& bytes) {
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return f.fileName();
    }
};

TEST(NumberLines, NumbersFromOneWithTheGivenSeparator) {
    EXPECT_EQ(NumberLines({"Beginn  Di", "Ende", "x"}, kLogSeparator),
              "1 - Beginn  Di\n2 - Ende\n3 - x");
    EXPECT_EQ(NumberLines({"%", ""}, kFileSeparator), "1  - %\n2  - ");
    EXPECT_EQ(NumberLines({}, kFileSeparator), "");
}

// As designed where the screen holds it; the text field is shorter by what is cut.
TEST_F(Viewer, FitsTheScreenAndCtrlFChecksAFile) {
    const QSize size = QSize(443, 788).boundedTo(ScreenRoom(&form));
    EXPECT_EQ(form.size(), size);
    EXPECT_EQ(form.Edit1->geometry(), QRect(0, 8, 401, 681 - (788 - size.height())));

    // A window's keys reach its menus while it is the active one.
    form.show();
    QApplication::setActiveWindow(&form);
    seam.fileAnswers << Write("p.cnc", "%\r\nN10\r\n");
    QTest::keyClick(&form, Qt::Key_F, Qt::ControlModifier);
    EXPECT_EQ(seam.fileDialogs.size(), 1);
    EXPECT_EQ(form.ViewText(), "1  - %\n2  - N10");
}

TEST_F(Viewer, CheckCncFileNumbersEveryLineAndKeepsStatusAndName) {
    QByteArray content;
    for (int i = 1; i <= 120; ++i) content += "N" + QByteArray::number(i * 10) + "\r\n";
    seam.fileAnswers << Write("p.cnc", content);
    form.SetStatusText("old");
    form.CheckCNCFile1->trigger();
    EXPECT_EQ(form.Edit1->blockCount(), 120);
    EXPECT_EQ(form.Edit1->document()->firstBlock().text(), "1  - N10");
    EXPECT_EQ(form.Edit1->document()->lastBlock().text(), "120  - N1200");
    EXPECT_EQ(form.StatusText(), "old");
    EXPECT_EQ(viewFileName, "/earlier.cnc");
    EXPECT_EQ(QDir(logBox.directory), QDir(dir.path()));  // remembered for the next command

    seam.fileAnswers << dir.filePath("gone.cnc");  // vanished after it was picked
    form.CheckCNCFile1->trigger();
    ASSERT_EQ(seam.boxes.size(), 1);
    EXPECT_EQ(seam.boxes[0].kind, Modal::BoxKind::Error);
    EXPECT_TRUE(seam.boxes[0].text.contains("gone.cnc")) << seam.boxes[0].text.constData();
    EXPECT_EQ(form.ViewText(), "");
}

TEST_F(Viewer, SaveFileWritesNothingAndCloseKeepsTheStatus) {
    const QString path = Write("p.cnc", "%\r\nM30\r\n");
    form.ReplaceWithFile(path, kFileSeparator);
    form.Edit1->appendPlainText("typed by the operator");
    form.SaveFile1->trigger();
    ASSERT_EQ(seam.boxes.size(), 1);
    EXPECT_EQ(seam.boxes[0].text, "Geladene Datei  /earlier.cnc  Speichern in Dir");
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "%\r\nM30\r\n");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"p.cnc"});

    form.SetStatusText("kept");
    form.ShowViewer();
    form.Close1->trigger();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.ViewText(), "");
    EXPECT_EQ(form.StatusText(), "kept");
}

TEST_F(Viewer, HundredThousandLinesAreAllShown) {
    QByteArray content;
    for (int i = 1; i <= 100000; ++i) content += "N" + QByteArray::number(i) + " G1 X10\r\n";
    form.ReplaceWithFile(Write("big.cnc", content), kFileSeparator);
    EXPECT_EQ(form.Edit1->blockCount(), 100000);
    EXPECT_EQ(form.Edit1->document()->lastBlock().text(), "100000  - N100000 G1 X10");
}

}  // namespace

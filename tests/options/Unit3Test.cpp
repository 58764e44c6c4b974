// The options window offscreen, driven through its buttons with a scripted modal seam.
#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "common/Ansi.h"
#include "common/FileReplace.h"
#include "common/ScriptedSeam.h"
#include "tests/common/ImmutableFolder.h"
#include "tests/config/ConfigFixture.h"

namespace {

const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);
const QColor kSilver(192, 192, 192);

QColor TextColor(const QWidget* w) { return w->palette().color(QPalette::Text); }
QColor Background(const QWidget* w) { return w->palette().color(QPalette::Base); }
QByteArray Text(const QPlainTextEdit* memo) { return Ansi::FromQString(memo->toPlainText()); }

const QByteArray kNoChange =
    Ansi::Lit("Der File Name für die Config Datei hat sich nicht geändert. Weiter mit OK ");

}  // namespace

class Unit3Test : public ConfigFixture {
  protected:
    void SetUp() override {
        ConfigFixture::SetUp();
        form_ = std::make_unique<TForm3>();
        form_->SetMainMemos(&memoFile_, &memoTrm_, &memoRec_);
    }
    void TearDown() override {
        form_.reset();
        ConfigFixture::TearDown();
    }

    QList<QPlainTextEdit*> Fields() const {
        return {form_->TMemExt,    form_->TMemLog,     form_->MemoAK,
                form_->MemoPrgEnd, form_->MemoComPort, form_->MemoPrgAK,
                form_->MemoTimer,  form_->TMemSend,    form_->TMemSave};
    }

    // Open from the menu and press "Laden" on Config.ini in the working directory.
    void OpenAndLoad(const QByteArray& content = Standard()) {
        Write("Config.ini", content);
        form_->ServerEinstellung1Click();
        form_->ConfigLoad->click();
        ASSERT_EQ(form_->CurrentState(), TForm3::State::S1);
    }

    void Unlock(ScriptedSeam& seam) {
        seam.inputAnswers = {"9518"};
        form_->BtChange->click();
        ASSERT_EQ(form_->CurrentState(), TForm3::State::S2);
    }

    void Shown(std::initializer_list<QPushButton*> buttons) const {
        for (QPushButton* b : {form_->ConfigLoad, form_->BtChange, form_->BtOK, form_->BtSave})
            EXPECT_EQ(!b->isHidden(), std::find(buttons.begin(), buttons.end(), b) != buttons.end())
                << b->objectName().toStdString();
        EXPECT_FALSE(form_->TBClose->isHidden());
    }

    QPlainTextEdit memoFile_, memoTrm_, memoRec_;
    std::unique_ptr<TForm3> form_;
};

// Every control lies inside the window; the labels beside the fields do not reach them.
TEST_F(Unit3Test, ControlsLieInsideTheWindowAndOnlyLoadIsOffered) {
    form_->show();
    // DNC_SCREENSHOT=<file.png> keeps a picture of the window for a look by eye.
    if (qEnvironmentVariableIsSet("DNC_SCREENSHOT"))
        form_->grab().save(qEnvironmentVariable("DNC_SCREENSHOT"));
    const QRect area = form_->centralWidget()->rect();
    for (QWidget* w : form_->centralWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        EXPECT_TRUE(area.contains(w->geometry())) << w->objectName().toStdString();
    for (QLabel* l : {form_->Label1, form_->Label9, form_->Label5, form_->Label4})
        EXPECT_LE(l->geometry().right(), 224) << l->objectName().toStdString();
    Shown({form_->ConfigLoad});
}

// With the fields open, Tab goes from one to the next through every field and puts nothing
// into a value.
TEST_F(Unit3Test, TabReachesEveryFieldAndChangesNoValue) {
    OpenAndLoad();
    ScriptedSeam seam;
    Unlock(seam);
    form_->show();
    QList<QPlainTextEdit*> open;
    for (QPlainTextEdit* f : form_->findChildren<QPlainTextEdit*>())
        if (!f->isReadOnly() && f->isVisibleTo(form_.get())) open << f;
    ASSERT_GE(open.size(), Fields().size());
    open[0]->setFocus();
    QSet<QWidget*> reached;
    for (int press = 0; press < 2 * int(open.size()) + 10; ++press) {
        QTest::keyClick(form_->focusWidget(), Qt::Key_Tab);
        reached.insert(form_->focusWidget());
    }
    for (QPlainTextEdit* f : open)
        EXPECT_TRUE(reached.contains(f)) << f->objectName().toStdString();
    form_->BtOK->click();
    EXPECT_EQ(form_->CurrentState(), TForm3::State::S3);
    EXPECT_EQ(form_->ValuesChanged, 0);
    EXPECT_TRUE(seam.boxes.isEmpty()) << seam.BoxTexts().join('|').constData();
}

TEST_F(Unit3Test, OpeningShowsValuesLockedAndLoadFillsEverything) {
    // Nine distinct values so that a field filled from a wrong slot shows.
    for (int s = 5; s <= 13; ++s) ConfigValues[s] = "s" + QByteArray::number(s);
    form_->ServerEinstellung1Click();
    EXPECT_TRUE(form_->isVisible());
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(Text(Fields()[i]), "s" + QByteArray::number(5 + i));
        EXPECT_TRUE(Fields()[i]->isReadOnly());
        EXPECT_EQ(Background(Fields()[i]), QColor(215, 228, 242));
    }

    Write("Config.ini", Standard() + "Ruhezeit=7\r\nNamen=Programm\r\nZeilenende=LF\r\n");
    form_->ConfigLoad->click();
    Shown({form_->BtChange});
    EXPECT_EQ(TextColor(form_->BtOK), kRed);
    EXPECT_TRUE(form_->BtSave->font().italic());
    EXPECT_EQ(TextColor(form_->ConfigLoad), kBlue);
    EXPECT_EQ(form_->MemoConfig->toPlainText(), Path("Config.ini"));
    EXPECT_EQ(TextColor(form_->MemoConfig), kBlue);
    EXPECT_EQ(Background(form_->MemoConfig), kSilver);
    EXPECT_TRUE(form_->MemoConfig->isReadOnly());
    EXPECT_EQ(ConfigLineCount, 16);
    EXPECT_EQ(ConfigKeys[11], "Verweilzeit=");
    EXPECT_EQ(Text(form_->MemoNames), "Programm");
    EXPECT_EQ(Text(form_->MemoTimer), "25");
    EXPECT_EQ(Text(form_->TMemSave), "/srv/nc/save");
    EXPECT_EQ(TextColor(form_->MemoTimer), kBlue);

    const QStringList file = memoFile_.toPlainText().split('\n');
    ASSERT_EQ(file.size(), 1 + 3 * 15);
    EXPECT_EQ(file.mid(0, 4), QStringList({"Config.Ini Werte", "Version=2.4", "2", "Version=2.4"}));
    EXPECT_EQ(file.last(), "Zeilenende=LF");
    EXPECT_EQ(memoTrm_.toPlainText(),
              "Test zur Kontrolle Load\n"
              "TMemLog      Protokoll\n"
              "Memo AK      N9999\n"
              "MemPrgEnd    M30\n"
              "MemoPrgAK  TEST\n"
              "MemoTimer    25\n"
              "MemoComPort  COM2 9600 8N1\n"
              "TMemExt      cnc\n"
              "TMemSend     /srv/nc/send\n"
              "TMemSave     /srv/nc/save\n"
              "MemoQuietTime7\n"
              "MemoNames    Programm\n"
              "MemoLineEnd  LF");
}

TEST_F(Unit3Test, LoadWithMissingFileGoesThroughTheDialog) {
    Write("Anders.ini", Standard());
    form_->ServerEinstellung1Click();
    {
        ScriptedSeam seam;  // dialog cancelled: the file cannot be opened, state stays
        form_->ConfigLoad->click();
        ASSERT_EQ(seam.boxes.size(), 2);
        EXPECT_EQ(seam.boxes[0].text, "Neuer File eingeben");
        EXPECT_EQ(seam.boxes[1].kind, Modal::BoxKind::Error);
        EXPECT_TRUE(seam.boxes[1].text.contains("Config.ini")) << seam.boxes[1].text.constData();
        EXPECT_EQ(form_->CurrentState(), TForm3::State::S0);
    }
    ScriptedSeam seam;
    seam.fileAnswers = {Path("Anders.ini")};
    form_->ConfigLoad->click();
    EXPECT_EQ(seam.fileDialogs.size(), 1);
    EXPECT_EQ(ConfigFileName, Path("Anders.ini"));
    EXPECT_EQ(CfgAK(), "N9999");
    EXPECT_EQ(form_->CurrentState(), TForm3::State::S1);
    // The dialog branch leaves the path editable.
    EXPECT_FALSE(form_->MemoConfig->isReadOnly());
    EXPECT_EQ(TextColor(form_->MemoConfig), kBlue);
}

TEST_F(Unit3Test, WrongPasswordsHideTheWindowAndUnlockNothing) {
    struct Row {
        const char* name;
        QList<QByteArray> answers;
    };
    const Row rows[] = {
        {"wrong twice", {"1234", "", "9519", "95189"}},
        {"cancel counts as wrong", {"\x1b", "\x1b", "\x1b", "\x1b"}},
        {"exact comparison", {" 9518", "9518 ", "9518\t", "*9518"}},
    };
    for (const Row& row : rows) {
        OpenAndLoad();
        ScriptedSeam seam;
        seam.inputAnswers = row.answers;
        form_->BtChange->click();
        ASSERT_EQ(seam.inputs.size(), 4) << row.name;
        EXPECT_EQ(seam.inputs[0].prompt, "Bitte Password eingeben");
        EXPECT_EQ(seam.inputs[1].prompt, "Password war falsch bitte erneut eingeben");
        EXPECT_EQ(seam.inputs[2].prompt, "Bitte Password eingeben");
        for (const auto& input : seam.inputs) {
            EXPECT_EQ(input.caption, "Password Abfrage");
            EXPECT_EQ(input.initial, "******");
        }
        EXPECT_FALSE(form_->isVisible()) << row.name;
        EXPECT_EQ(form_->CurrentState(), TForm3::State::S1);
        Shown({form_->BtChange});
        for (QPlainTextEdit* f : Fields()) EXPECT_TRUE(f->isReadOnly()) << row.name;
        EXPECT_EQ(TextColor(form_->MemoAK), kRed);
    }
}

TEST_F(Unit3Test, RightPasswordUnlocksAtEitherAttempt) {
    const QList<QList<QByteArray>> scripts = {
        {"9518"}, {"x", "9518"}, {"x", "\x1b", "9518"}, {"x", "y", "z", "9518"}};
    for (const auto& script : scripts) {
        OpenAndLoad();
        ScriptedSeam seam;
        seam.inputAnswers = script;
        form_->BtChange->click();
        EXPECT_EQ(seam.inputs.size(), script.size());
        EXPECT_EQ(form_->CurrentState(), TForm3::State::S2);
        Shown({form_->BtOK});
        for (QPlainTextEdit* f : Fields()) {
            EXPECT_FALSE(f->isReadOnly());
            EXPECT_EQ(Background(f), QColor(255, 255, 255));
        }
        EXPECT_EQ(ValuesSnapshot,
                  "cncProtokollN9999M30COM2 9600 8N1TEST25/srv/nc/send/srv/nc/save");
    }
}

TEST_F(Unit3Test, DataOkColoursAndChangeFlag) {
    OpenAndLoad();
    ScriptedSeam seam;
    Unlock(seam);
    form_->BtOK->click();
    for (QPlainTextEdit* f : Fields()) {
        EXPECT_EQ(TextColor(f), kBlue);
        EXPECT_TRUE(f->isReadOnly());
        EXPECT_EQ(Background(f), kSilver);
    }
    EXPECT_EQ(form_->ValuesChanged, 0);
    EXPECT_EQ(form_->CurrentState(), TForm3::State::S3);
    Shown({form_->BtSave});

    // Only the dwell edited (with a pasted line break): it turns red and the engine's
    // next read of CfgTimer gets it at once, with nothing saved.
    form_->ServerEinstellung1Click();
    form_->ConfigLoad->click();
    Unlock(seam);
    form_->MemoTimer->setPlainText("4\n0");
    form_->BtOK->click();
    EXPECT_EQ(CfgTimer(), "40");
    EXPECT_EQ(Text(form_->MemoTimer), "40");
    for (QPlainTextEdit* f : Fields())
        EXPECT_EQ(TextColor(f), f == form_->MemoTimer ? kRed : kBlue);
    EXPECT_EQ(form_->ValuesChanged, 1);
    EXPECT_EQ(Read("Config.ini"), Standard());

    // Text moved between two neighbouring fields still counts as a change.
    form_->ServerEinstellung1Click();
    form_->ConfigLoad->click();
    Unlock(seam);
    form_->TMemExt->setPlainText("cncP");
    form_->TMemLog->setPlainText("rotokoll");
    form_->BtOK->click();
    EXPECT_EQ(form_->ValuesChanged, 1);
}

TEST_F(Unit3Test, SaveWithChangedValuesWritesOnceWithBackup) {
    OpenAndLoad();
    ScriptedSeam seam;
    Unlock(seam);
    form_->MemoTimer->setPlainText("40");
    form_->BtOK->click();
    form_->BtSave->click();

    EXPECT_EQ(seam.BoxTexts(), QList<QByteArray>{kNoChange});
    EXPECT_EQ(Read("Config.bak"), Standard());
    QByteArray expected = Standard();
    expected.replace("C:\\Quelmar\\Config.ini=13", Ansi::FromQString(Path("Config.ini")) + "=13");
    expected.replace("Verweilzeit=25", "Verweilzeit=40");
    EXPECT_EQ(Read("Config.ini"), expected);  // 13 lines, keys kept, new header
    EXPECT_EQ(memoFile_.toPlainText(), "Config.Ini Werte sichern");
    EXPECT_TRUE(
        memoRec_.toPlainText().startsWith("Test zur Kontrolle Save\nTMemLog      Protokoll"));
    EXPECT_EQ(form_->CurrentState(), TForm3::State::S4);
    Shown({});
    EXPECT_EQ(ConfigFileName, "Config.ini");
}

TEST_F(Unit3Test, AFileIsWrittenBackInTheEncodingItWasReadIn) {
    struct Row {
        const char* name;
        QByteArray mark, folder;  // the folder "Empfänge" as the file holds it
    } rows[] = {
        {"Windows-1252", "", "/srv/Empf\xE4nge"},
        {"UTF-8", "", "/srv/Empf\xC3\xA4nge"},
        {"UTF-8 with its mark", "\xEF\xBB\xBF", "/srv/Empf\xC3\xA4nge"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QByteArray file = Standard();
        file.replace("/srv/nc/save", row.folder);
        OpenAndLoad(row.mark + file);
        EXPECT_EQ(form_->TMemSave->toPlainText(), QString::fromUtf8("/srv/Empfänge"));
        EXPECT_EQ(CfgSave(), "/srv/Empf\xE4nge");
        ScriptedSeam seam;
        Unlock(seam);
        form_->MemoTimer->setPlainText("40");
        form_->BtOK->click();
        form_->BtSave->click();
        const QByteArray written = Read("Config.ini");
        EXPECT_TRUE(
            written.startsWith(row.mark + Ansi::FromQString(Path("Config.ini")) + "=13\r\n"))
            << written.constData();
        EXPECT_TRUE(written.endsWith(
            "Verweilzeit=40\r\nSendePfad=/srv/nc/send\r\nAblagePfad=" + row.folder + "\r\n"))
            << written.constData();
        QFile::remove(Path("Config.bak"));
    }
}

TEST_F(Unit3Test, SaveWithNothingChangedWritesNothing) {
    OpenAndLoad();
    ScriptedSeam seam;
    Unlock(seam);
    form_->BtOK->click();
    form_->BtSave->click();
    EXPECT_EQ(seam.BoxTexts(), QList<QByteArray>{kNoChange});
    EXPECT_EQ(Read("Config.ini"), Standard());
    EXPECT_FALSE(QFile::exists(Path("Config.bak")));
}

TEST_F(Unit3Test, SaveUnderANewPath) {
    for (const bool changeValues : {false, true}) {
        OpenAndLoad();
        ScriptedSeam seam;
        Unlock(seam);
        if (changeValues) form_->TMemExt->setPlainText("ngc");
        form_->BtOK->click();
        const QString target = Path(changeValues ? "neu2.ini" : "neu1.ini");
        form_->MemoConfig->setPlainText(target);
        EXPECT_EQ(TextColor(form_->MemoConfig), kRed);
        EXPECT_FALSE(form_->MemoConfig->isReadOnly());
        form_->BtSave->click();

        EXPECT_TRUE(seam.boxes.isEmpty());
        const QByteArray written = Read(QFileInfo(target).fileName());
        EXPECT_TRUE(written.startsWith(Ansi::FromQString(target) + "=13\r\n"));
        EXPECT_TRUE(written.contains(changeValues ? "Extension=ngc\r\n" : "Extension=cnc\r\n"));
        // Written twice when values changed too: the backup then holds the first write.
        EXPECT_EQ(QFile::exists(Path(changeValues ? "neu2.bak" : "neu1.bak")), changeValues);
        if (changeValues) {
            EXPECT_EQ(Read("neu2.bak"), written);
        }
        EXPECT_EQ(Read("Config.ini"), Standard());
        EXPECT_EQ(ConfigFileName, "Config.ini");
    }
}

TEST_F(Unit3Test, SaveKeepsAnOlderBackupAndReportsUnwritableTargets) {
    Write("Config.bak", "alt");
    OpenAndLoad();
    ScriptedSeam seam;
    Unlock(seam);
    form_->MemoComPort->setPlainText("COM1");
    form_->BtOK->click();
    form_->BtSave->click();
    EXPECT_EQ(Read("Config.bak"), "alt");
    EXPECT_TRUE(Read("Config.ini").contains("ComPort=COM1\r\n"));

    // A folder that does not exist: an error naming the path; nothing moved.
    form_->ServerEinstellung1Click();
    form_->ConfigLoad->click();
    Unlock(seam);
    form_->BtOK->click();
    form_->MemoConfig->setPlainText(Path("fehlt/Config.ini"));
    seam.boxes.clear();
    form_->BtSave->click();
    ASSERT_EQ(seam.boxes.size(), 1);
    EXPECT_EQ(seam.boxes[0].kind, Modal::BoxKind::Error);
    EXPECT_TRUE(seam.boxes[0].text.contains(Ansi::FromQString(Path("fehlt/Config.ini"))))
        << seam.boxes[0].text.constData();
    EXPECT_TRUE(Read("Config.ini").contains("ComPort=COM1\r\n"));
}

// A working folder the user may not write to: Config.ini is rewritten in place, and the
// user learns that no backup could be made.
TEST_F(Unit3Test, SaveIntoAFolderThatTakesNoNewFile) {
    OpenAndLoad();
    ScriptedSeam seam;
    Unlock(seam);
    form_->MemoTimer->setPlainText("40");
    form_->BtOK->click();
    ImmutableFolder folder(dir_.path());
    if (!folder.Set()) GTEST_SKIP() << "the file system cannot make a folder immutable";
    form_->BtSave->click();
    folder.Release();

    EXPECT_TRUE(Read("Config.ini").contains("Verweilzeit=40\r\n"));
    EXPECT_FALSE(QFile::exists(Path("Config.bak")));
    EXPECT_EQ(seam.BoxTexts(),
              QList<QByteArray>({InPlaceNote(Path("Config.ini")) +
                                     " Eine Sicherungskopie (.bak) konnte dort nicht angelegt "
                                     "werden.",
                                 kNoChange}));
    EXPECT_EQ(form_->CurrentState(), TForm3::State::S4);
}

TEST_F(Unit3Test, SaveWithoutFileOrWithoutLoad) {
    OpenAndLoad();
    ScriptedSeam seam;
    Unlock(seam);
    form_->BtOK->click();
    QFile::remove(Path("Config.ini"));
    form_->BtSave->click();
    EXPECT_EQ(seam.BoxTexts(), QList<QByteArray>{"Neuer File eingeben"});
    EXPECT_FALSE(QFile::exists(Path("Config.ini")));
    EXPECT_EQ(form_->CurrentState(), TForm3::State::S4);

    // Nothing loaded yet: a message, then a load; no file moved or written.
    Write("Config.ini", Standard());
    ConfigLineCount = 0;
    seam.boxes.clear();
    form_->SaveOptionsFile(Path("Config.ini"));
    EXPECT_EQ(seam.BoxTexts(),
              QList<QByteArray>{"Zuest Config laden und dann nochmals speichern "});
    EXPECT_EQ(ConfigLineCount, 13);
    EXPECT_EQ(Read("Config.ini"), Standard());
    EXPECT_FALSE(QFile::exists(Path("Config.bak")));
}

TEST_F(Unit3Test, LongFileKeepsItsLaterLinesWhenWrittenBack) {
    QByteArray content = Standard() + "Ruhezeit=5\r\nNamen=DFS\r\nZeilenende=CRLF\r\n";
    for (int k = 17; k <= 18; ++k) content += "Zusatz" + QByteArray::number(k) + "=x\r\n";
    ConfigValues[17] = "vom Start";
    OpenAndLoad(content);
    EXPECT_EQ(ConfigLineCount, 16);
    EXPECT_EQ(ConfigValues[17], "vom Start");
    EXPECT_TRUE(memoFile_.toPlainText().endsWith(
        QString::fromUtf8("Zeilen 17 bis 18 werden unverändert übernommen")));
    ScriptedSeam seam;
    Unlock(seam);
    form_->TMemLog->setPlainText("Neu");
    form_->BtOK->click();
    form_->BtSave->click();
    const QList<QByteArray> lines = Read("Config.ini").split('\n');
    ASSERT_EQ(lines.size(), 19);
    EXPECT_TRUE(lines[0].endsWith("=18\r"));
    EXPECT_EQ(lines[5], "LogFile=Neu\r");
    EXPECT_EQ(lines[15], "Zeilenende=CRLF\r");
    EXPECT_EQ(lines[16], "Zusatz17=x\r");
    EXPECT_EQ(lines[17], "Zusatz18=x\r");
}

// A value the engine could not use is refused with its reason, and nothing is taken; usable
// values of the lines a 13-line file lacks are written on their own lines.
TEST_F(Unit3Test, DataOkRefusesUnusableValuesAndWritesTheLinesAFileLacks) {
    OpenAndLoad();
    ScriptedSeam seam;
    Unlock(seam);
    const struct {
        QPlainTextEdit* field;
        const char* value;
        const char* reason;
    } rows[] = {
        {form_->MemoTimer, "zehn", "ist keine ganze Zahl ab 0"},
        {form_->MemoQuietTime, "0", "ist keine ganze Zahl von 1 bis 3600"},
        {form_->MemoNames, "Nummer", "ist weder DFS noch Programm"},
        {form_->MemoLineEnd, "CRCR", "ist weder CRLF, LF, CR noch LFCRCR"},
    };
    for (const auto& row : rows) {
        const QString before = row.field->toPlainText();
        row.field->setPlainText(row.value);
        seam.boxes.clear();
        form_->BtOK->click();
        ASSERT_EQ(seam.boxes.size(), 1) << row.value;
        EXPECT_TRUE(seam.boxes[0].text.contains(row.reason)) << seam.boxes[0].text.constData();
        EXPECT_EQ(form_->CurrentState(), TForm3::State::S2) << row.value;
        EXPECT_EQ(TextColor(row.field), kRed);
        EXPECT_NE(ConfigValues[7], "x") << "nothing was taken";
        row.field->setPlainText(before);
    }
    form_->MemoAK->setPlainText("x");
    form_->MemoNames->setPlainText("Programm");
    form_->MemoLineEnd->setPlainText("lf");
    form_->BtOK->click();
    ASSERT_EQ(form_->CurrentState(), TForm3::State::S3);
    EXPECT_EQ(CfgNames(), "Programm");
    form_->BtSave->click();
    EXPECT_TRUE(Read("Config.ini").endsWith("Ruhezeit=\r\nNamen=Programm\r\nZeilenende=lf\r\n"));
}

TEST_F(Unit3Test, EndClearsTheMainMemosAndHides) {
    OpenAndLoad();
    memoRec_.setPlainText("empfangen");
    ASSERT_FALSE(memoFile_.toPlainText().isEmpty());
    form_->TBClose->click();
    EXPECT_TRUE(memoFile_.toPlainText().isEmpty());
    EXPECT_TRUE(memoTrm_.toPlainText().isEmpty());
    EXPECT_TRUE(memoRec_.toPlainText().isEmpty());
    EXPECT_FALSE(form_->isVisible());
    EXPECT_EQ(form_->CurrentState(), TForm3::State::S0);
    form_->ServerEinstellung1Click();
    Shown({form_->ConfigLoad});
}

TEST_F(Unit3Test, FieldsTakeNoLineBreaksAndTheClickedPathBecomesEditable) {
    OpenAndLoad();
    ScriptedSeam seam;
    Unlock(seam);
    form_->show();
    form_->MemoTimer->setFocus();
    form_->MemoTimer->moveCursor(QTextCursor::End);
    QTest::keyClicks(form_->MemoTimer, "0");
    QTest::keyClick(form_->MemoTimer, Qt::Key_Return);
    QTest::keyClick(form_->MemoTimer, Qt::Key_Enter);
    QTest::keyClicks(form_->MemoTimer, "5");
    EXPECT_EQ(Text(form_->MemoTimer), "2505");
    if (qEnvironmentVariableIsSet("DNC_SCREENSHOT"))
        form_->grab().save(qEnvironmentVariable("DNC_SCREENSHOT").replace(".png", "-open.png"));

    EXPECT_TRUE(form_->MemoConfig->isReadOnly());
    QTest::mouseClick(form_->MemoConfig->viewport(), Qt::RightButton);
    EXPECT_TRUE(form_->MemoConfig->isReadOnly());  // only a left click is a click
    QTest::mouseClick(form_->MemoConfig->viewport(), Qt::LeftButton);
    EXPECT_FALSE(form_->MemoConfig->isReadOnly());
    EXPECT_EQ(TextColor(form_->MemoConfig), kRed);
    EXPECT_EQ(Background(form_->MemoConfig), QColor(255, 255, 255));
}

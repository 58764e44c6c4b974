// The start-up read of Config.ini against real files in a temporary working directory.
#include <QPlainTextEdit>

#include "ConfigFixture.h"
#include "common/Ansi.h"
#include "common/Errors.h"
#include "common/ScriptedSeam.h"
#include "options/KonfigMemo.h"
#include "serial/Serial.h"

namespace {

QStringList MemoLines(const QPlainTextEdit& memo) { return memo.toPlainText().split('\n'); }

}  // namespace

class KonfigTest : public ConfigFixture {
  protected:
    QPlainTextEdit memoFile_{QStringLiteral("MemoFile")};
    TKonfiguration konfig_{nullptr, MemoListing(&memoFile_)};
};

TEST_F(KonfigTest, StandardFileFillsSlotsAndListing) {
    Write("Config.ini", Standard());
    ScriptedSeam seam;
    EXPECT_TRUE(konfig_.ReadConfigFile());
    EXPECT_TRUE(seam.boxes.isEmpty());

    EXPECT_EQ(CfgExt(), "cnc");
    EXPECT_EQ(CfgLog(), "Protokoll");
    EXPECT_EQ(CfgAK(), "N9999");
    EXPECT_EQ(CfgPrgEnd(), "M30");
    EXPECT_EQ(CfgComPort(), "COM2 9600 8N1");
    EXPECT_EQ(CfgPrgAK(), "TEST");
    EXPECT_EQ(CfgTimer(), "25");
    EXPECT_EQ(CfgSend(), "/srv/nc/send");
    EXPECT_EQ(CfgSave(), "/srv/nc/save");
    EXPECT_EQ(ConfigValues[2], "2.4");
    EXPECT_TRUE(ConfigValues[0].isEmpty());
    EXPECT_TRUE(ConfigValues[1].isEmpty());
    for (int k = 14; k <= 20; ++k) EXPECT_TRUE(ConfigValues[k].isEmpty()) << k;

    const QStringList lines = MemoLines(memoFile_);
    ASSERT_EQ(lines.size(), 25);
    EXPECT_EQ(lines[0], "Config.Ini Werte");
    EXPECT_EQ(lines[1], "2");
    EXPECT_EQ(lines[2], "Version=2.4");
    EXPECT_EQ(lines[23], "13");
    EXPECT_EQ(lines[24], "AblagePfad=/srv/nc/save");
}

TEST_F(KonfigTest, RawValuesKeptAndShortFilesLeaveSlots) {
    // Windows-1252 bytes, blanks, further "=", lines without "=": all kept as read.
    Write("Config.ini", "kopf\r\n\r\nx\r\ny\r\n ngc \r\nLog=\r\nAK=Ab=ruf\r\nM30\r\n" +
                            Ansi::Lit("Port=Schnittstelle für Fräse") + "\r\n");
    ConfigValues[12] = "vorher";
    ASSERT_TRUE(konfig_.ReadConfigFile());
    // The extension's trailing blank is not part of it (the folders' neither); kept raw.
    EXPECT_EQ(ConfigValues[CfgSlot::Ext], " ngc ");
    EXPECT_EQ(CfgExt(), " ngc");
    EXPECT_TRUE(MemoLines(memoFile_).last().endsWith("Zeile 5 (Datei Extension)"));
    EXPECT_EQ(CfgLog(), "");
    EXPECT_EQ(CfgAK(), "Ab=ruf");
    EXPECT_EQ(CfgPrgEnd(), "M30");
    EXPECT_EQ(CfgComPort(), Ansi::Lit("Schnittstelle für Fräse"));
    EXPECT_EQ(CfgSend(), "vorher");  // beyond the file: untouched
    EXPECT_TRUE(MemoLines(memoFile_).contains(QString::fromUtf8("Port=Schnittstelle für Fräse")));

    // Only a header (or nothing): no values, only the title line.
    for (const QByteArray& content : {QByteArray("kopf\r\n"), QByteArray()}) {
        ConfigValues[1] = "alt";
        Write("Config.ini", content);
        ASSERT_TRUE(konfig_.ReadConfigFile());
        EXPECT_TRUE(ConfigValues[1].isEmpty());
        EXPECT_EQ(ConfigValues[CfgSlot::Ext], " ngc ");
        EXPECT_EQ(memoFile_.toPlainText(), "Config.Ini Werte");
    }
}

TEST_F(KonfigTest, LongFileIsCutAfterLine20WithANote) {
    QByteArray content = "kopf\r\n";
    for (int k = 2; k <= 23; ++k) content += "Z=" + QByteArray::number(k) + "\r\n";
    Write("Config.ini", content);
    ASSERT_TRUE(konfig_.ReadConfigFile());
    EXPECT_EQ(ConfigValues[20], "20");
    const QStringList lines = MemoLines(memoFile_);
    ASSERT_EQ(lines.size(), 1 + 2 * 19 + 1);
    EXPECT_EQ(lines[lines.size() - 2], "Z=20");
    EXPECT_EQ(lines.last(), "Config.Ini hat 23 Zeilen; nur die Zeilen 1 bis 20 werden gelesen");
}

TEST_F(KonfigTest, MissingFileAsksThroughTheDialog) {
    ASSERT_TRUE(QDir().mkpath(Path("ablage")));
    Write("ablage/Werk.ini", Standard());
    ScriptedSeam seam;
    seam.fileAnswers = {Path("ablage/Werk.ini")};
    EXPECT_TRUE(konfig_.ReadConfigFile());

    ASSERT_EQ(seam.boxes.size(), 2);
    EXPECT_EQ(seam.boxes[0].kind, Modal::BoxKind::Plain);
    EXPECT_EQ(seam.boxes[0].text,
              "Couldn't find Config.ini. in Dir " + Ansi::FromQString(QDir::currentPath()) + "  ");
    EXPECT_EQ(seam.boxes[1].kind, Modal::BoxKind::Information);
    EXPECT_EQ(seam.boxes[1].text, "Neuer File eingeben");
    ASSERT_EQ(seam.fileDialogs.size(), 1);
    EXPECT_EQ(seam.fileDialogs[0].filter, "Config File (*.ini)");
    EXPECT_EQ(seam.fileDialogs[0].defaultSuffix, "ini");
    EXPECT_EQ(ConfigFileName, Path("ablage/Werk.ini"));
    EXPECT_EQ(CfgTimer(), "25");
}

TEST_F(KonfigTest, CancelledDialogOffersAnotherChoiceOrGoesOnEmpty) {
    Write("Werk.ini", Standard());
    {
        ScriptedSeam seam;  // cancel, "yes, choose again", choose
        seam.boxAnswers = {Modal::Answer::Ok, Modal::Answer::Ok, Modal::Answer::Yes};
        seam.fileAnswers = {QString(), Path("Werk.ini")};
        EXPECT_TRUE(konfig_.ReadConfigFile());
        EXPECT_EQ(seam.fileDialogs.size(), 2);
        ASSERT_EQ(seam.boxes.size(), 3);
        EXPECT_EQ(seam.boxes[2].kind, Modal::BoxKind::Question);
        EXPECT_EQ(CfgExt(), "cnc");
    }
    ConfigValues.fill({});
    ConfigFileName = QStringLiteral("Config.ini");
    memoFile_.setPlainText("MemoFile");
    {
        ScriptedSeam seam;  // cancel, "no"
        seam.boxAnswers = {Modal::Answer::Ok, Modal::Answer::Ok, Modal::Answer::No};
        EXPECT_FALSE(konfig_.ReadConfigFile());
        EXPECT_EQ(seam.fileDialogs.size(), 1);
        EXPECT_EQ(ConfigFileName, "Config.ini");
        for (const QByteArray& value : ConfigValues) EXPECT_TRUE(value.isEmpty());
        EXPECT_EQ(memoFile_.toPlainText(), "MemoFile");
    }
}

TEST_F(KonfigTest, FileThatCannotBeOpenedThrowsAndKeepsValues) {
    ScriptedSeam seam;
    seam.fileAnswers = {Path("weg/Config.ini")};  // vanished after it was chosen
    ConfigValues[5] = "alt";
    try {
        konfig_.ReadConfigFile();
        ADD_FAILURE() << "no error";
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find("weg/Config.ini"), std::string::npos) << e.what();
    }
    EXPECT_EQ(CfgExt(), "alt");
}

TEST_F(KonfigTest, RateOverrideChangesOnly9600) {
    const auto saved = std::to_array(BaudRateTable);
    konfig_.PatchRateTable();
    EXPECT_EQ(BaudRateTable[br_009600], 1248u);
    for (int i = 0; i < BaudRateCount; ++i) {
        if (i == br_009600) continue;
        EXPECT_EQ(BaudRateTable[i], saved[i]) << i;
    }
    EXPECT_EQ(BaudRateTable[br_004800], 4800u);
    EXPECT_EQ(BaudRateTable[br_014400], 14400u);
    RestoreRates();
}

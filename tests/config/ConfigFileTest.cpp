// The text rules of Config.ini, called directly.
#include <gtest/gtest.h>

#include <QDir>

#include "config/ConfigFile.h"
#include "config/ConfigValues.h"

using namespace ConfigFile;
using namespace ConfigLines;

TEST(ConfigFileSplitLines, LineEnds) {
    struct Row {
        const char* name;
        QByteArray content;
        QList<QByteArray> lines;
    };
    const Row rows[] = {
        {"empty", "", {}},
        {"crlf", "a\r\nb\r\n", {"a", "b"}},
        {"last line without end", "a\r\nb", {"a", "b"}},
        {"lf only", "a\nb\n", {"a", "b"}},
        {"lone cr", "a\rb", {"a", "b"}},
        {"empty lines kept", "a\r\n\r\nc\r\n", {"a", "", "c"}},
        {"ctrl-z ends text",
         "a\r\nb\r\n\x1a"
         "junk\r\n",
         {"a", "b"}},
        {"blanks kept", " a \r\n", {" a "}},
    };
    for (const Row& row : rows) EXPECT_EQ(SplitLines(row.content), row.lines) << row.name;
}

TEST(ConfigFileLine, ValueAndKey) {
    struct Row {
        QByteArray line, key, value;
    };
    const Row rows[] = {
        {"Extension=cnc", "Extension=", "cnc"},
        {"Verweilzeit= 25", "Verweilzeit=", " 25"},  // blank kept
        {"Pfad=a=b=c", "Pfad=", "a=b=c"},            // later "=" belong to the value
        {"Leer=", "Leer=", ""},
        {"M30", "", "M30"},  // no "=": whole line
        {"", "", ""},
        {"=nur Wert", "=", "nur Wert"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(LineKey(row.line), row.key) << row.line.constData();
        EXPECT_EQ(LineValue(row.line), row.value) << row.line.constData();
        // Written back, a line reads the same again.
        EXPECT_EQ(LineValue(ComposeLine(row.key, row.value)), row.value);
    }
    // A key-less line whose value gained a "=" keeps its whole value.
    EXPECT_EQ(LineValue(ComposeLine("", "a=b")), "a=b");
}

TEST(ConfigFilePaths, BackupAndFullPath) {
    EXPECT_EQ(BackupPath("Config.ini"), "Config.bak");
    EXPECT_EQ(BackupPath("/srv/nc/Config.ini"), "/srv/nc/Config.bak");
    EXPECT_EQ(BackupPath("/srv/nc/Config"), "/srv/nc/Config.bak");
    EXPECT_EQ(BackupPath("/srv/nc.d/Config"), "/srv/nc.d/Config.bak");
    EXPECT_EQ(BackupPath("/srv/a.b.ini"), "/srv/a.b.bak");
    EXPECT_EQ(BackupPath("/srv/.hidden"), "/srv/.hidden.bak");
    EXPECT_EQ(FullPath("Config.ini"), QDir::currentPath() + "/Config.ini");
    EXPECT_EQ(FullPath("/x/../y/Config.ini"), "/y/Config.ini");
}

TEST(ConfigFileCompose, ShortFileKeepsAcceptedValues) {
    std::array<QByteArray, 21> keys, values;
    for (int k = 2; k <= 6; ++k) keys[k] = "K=";
    values[11] = "40";  // accepted in the window, but the file had only 6 lines
    EXPECT_EQ(Compose("p", keys, values, 6, {}),
              "p=11\r\nK=\r\nK=\r\nK=\r\nK=\r\nK=\r\nAbrufkennung=\r\nProgrammEnde=\r\n"
              "ComPort=\r\nProgrammKennung=\r\nVerweilzeit=40\r\n");
    // Nothing beyond the file holds a value: the file keeps its length.
    values[11].clear();
    EXPECT_EQ(Compose("p", keys, values, 6, {}).count('\n'), 6);
    // A value never splits its line.
    values[5] = "a\r\nb";
    EXPECT_TRUE(Compose("p", keys, values, 6, {}).contains("K=ab\r\n"));
}

// A saved file read again gives every value back on its line: no byte of a value or of the
// path may end a line or the text (the Ctrl-Z cases came from the fuzzer).
TEST(ConfigFileCompose, SavedValuesReadBackOnTheirLines) {
    struct Row {
        const char* name;
        QByteArray path, key, value, readBack;
    } rows[] = {
        {"line break", "p", "K=", "a\r\nb", "ab"},
        // \032 is Ctrl-Z.
        {"ctrl-z inside", "p", "K=", "a\032b", "ab"},
        {"ctrl-z on a key-less line", "p", "", "l\032", "l"},
        {"ctrl-z and = on a key-less line", "p", "", "\032=x", "=x"},
        {"ctrl-z in the path", "C\032.ini", "K=", "v", "v"},
    };
    for (const Row& r : rows) {
        std::array<QByteArray, 21> keys, values;
        keys[2] = keys[3] = r.key;
        values[2] = r.value;
        values[3] = "next";
        const QList<QByteArray> lines = SplitLines(Compose(r.path, keys, values, 3, {"carried"}));
        ASSERT_EQ(lines.size(), 4) << r.name;
        EXPECT_EQ(LineValue(lines[0]), "4") << r.name;
        EXPECT_EQ(LineValue(lines[1]), r.readBack) << r.name;
        EXPECT_EQ(LineValue(lines[2]), "next") << r.name;
        EXPECT_EQ(lines[3], "carried") << r.name;
    }
}

TEST(ConfigFileDwell, WholeNumbersOfZeroOrMore) {
    struct Row {
        QByteArray text;
        bool valid;
        int ms;
    } rows[] = {
        {"0", true, 0},     {"20", true, 20},   {" 50", true, 50},         {"50 ", true, 50},
        {"zehn", false, 0}, {"-5", false, 0},   {"1.5", false, 0},         {"", false, 0},
        {"+5", false, 0},   {"0x10", false, 0}, {"99999999999", false, 0},
    };
    for (const auto& r : rows) {
        int ms = -1;
        EXPECT_EQ(DwellMs(r.text, &ms), r.valid) << r.text.constData();
        EXPECT_EQ(ms, r.ms) << r.text.constData();
    }
}

TEST(ConfigFileEncoding, Utf8OnlyWhereTheBytesSaySo) {
    struct Row {
        const char* name;
        QByteArray content;
        TEncoding encoding;
        QByteArray text;  // Windows-1252
    };
    const Row rows[] = {
        {"plain ASCII", "Save=/srv/x", TEncoding::Windows1252, "Save=/srv/x"},
        {"Windows-1252 umlaut", "Save=Empf\xE4nge", TEncoding::Windows1252, "Save=Empf\xE4nge"},
        {"UTF-8 umlaut", "Save=Empf\xC3\xA4nge", TEncoding::Utf8, "Save=Empf\xE4nge"},
        {"UTF-8 with its mark", "\xEF\xBB\xBFSave=x", TEncoding::Utf8Bom, "Save=x"},
        {"a lead byte without its follower", "Save=\xC3x", TEncoding::Windows1252, "Save=\xC3x"},
        {"euro sign", "Ext=\xE2\x82\xAC", TEncoding::Utf8, "Ext=\x80"},
        {"beyond Windows-1252", "Save=\xC5\x81odz", TEncoding::Utf8, "Save=?odz"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(DetectEncoding(row.content), row.encoding) << row.name;
        EXPECT_EQ(Decode(row.content, row.encoding), row.text) << row.name;
        if (row.text.contains('?')) continue;
        EXPECT_EQ(Encode(row.text, row.encoding), row.content) << row.name << " written back";
    }
}

TEST(ConfigFileEncoding, TrailingBlanksOfFoldersAndExtensionAreNotPartOfThem) {
    std::array<QByteArray, 21> values;
    values[5] = "CNC ";
    values[7] = "O ";  // every other value stays raw, and is not named
    values[13] = "/srv/save \t";
    EXPECT_EQ(TrailingBlanksNote(values),
              "Leerzeichen am Zeilenende geh\xF6ren nicht zum Wert: Zeile 5 (Datei Extension), "
              "Zeile 13 (Speicherort ablegen)");
    ConfigValues = values;
    EXPECT_EQ(CfgExt(), "CNC");
    EXPECT_EQ(CfgSave(), "/srv/save");
    EXPECT_EQ(CfgAK(), "O ");
    values[5] = values[13] = "x";
    EXPECT_TRUE(TrailingBlanksNote(values).isEmpty());
    ConfigValues = {};
}

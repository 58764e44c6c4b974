// The text rules of Config.ini, called directly.
#include <gtest/gtest.h>

#include <QDir>

#include "config/ConfigFile.h"

using namespace ConfigFile;

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

TEST(ConfigFileCompose, ThirteenLinesWithKeysAndNewHeader) {
    std::array<QByteArray, 21> keys, values;
    for (int k = 2; k <= 13; ++k) {
        keys[k] = "K" + QByteArray::number(k) + '=';
        values[k] = "v" + QByteArray::number(k);
    }
    keys[8] = "";  // a line read without "="
    values[8] = "M30";
    const QByteArray out = Compose("/w/Config.ini", keys, values, 13, {});
    const QList<QByteArray> lines = out.split('\n');
    ASSERT_EQ(lines.size(), 14);  // 13 lines and the empty rest after the last CR LF
    EXPECT_EQ(lines[0], "/w/Config.ini=13\r");
    EXPECT_EQ(lines[1], "K2=v2\r");
    EXPECT_EQ(lines[7], "M30\r");
    EXPECT_EQ(lines[12], "K13=v13\r");
    EXPECT_TRUE(lines[13].isEmpty());
}

TEST(ConfigFileCompose, ShortFileKeepsAcceptedValuesAndLongFileItsRest) {
    std::array<QByteArray, 21> keys, values;
    for (int k = 2; k <= 6; ++k) keys[k] = "K=";
    values[11] = "40";  // accepted in the window, but the file had only 6 lines
    EXPECT_EQ(Compose("p", keys, values, 6, {}),
              "p=11\r\nK=\r\nK=\r\nK=\r\nK=\r\nK=\r\nAbrufkennung=\r\nProgrammEnde=\r\n"
              "ComPort=\r\nProgrammKennung=\r\nVerweilzeit=40\r\n");
    // Nothing beyond the file holds a value: the file keeps its length.
    values[11].clear();
    EXPECT_EQ(Compose("p", keys, values, 6, {}).count('\n'), 6);
    // Lines past the window's slots come back unchanged, and the header counts them.
    EXPECT_TRUE(Compose("p", keys, values, 15, {"x16", "x17=1"}).endsWith("x16\r\nx17=1\r\n"));
    EXPECT_TRUE(Compose("p", keys, values, 15, {"x16", "x17=1"}).startsWith("p=17\r\n"));
    // A value never splits its line.
    values[5] = "a\r\nb";
    EXPECT_TRUE(Compose("p", keys, values, 6, {}).contains("K=ab\r\n"));
}

// The log's text rules and file writing, and the SerDemo.ini reader/writer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "common/Ansi.h"
#include "common/ConfigLines.h"
#include "engine/IniFile.h"
#include "engine/LogFile.h"

namespace {

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    return f.readAll();
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

struct StampCase {
    const char* name;
    QLocale locale;
    QDateTime when;
    const char* expected;  // UTF-8
};

}  // namespace

TEST(MainWindowLog, TimeStampUsesTheLocalesNamesAndSeparator) {
    const QDateTime tuesday(QDate(2026, 12, 8), QTime(9, 5, 7));
    const QDateTime march(QDate(2025, 3, 1), QTime(23, 59, 0));
    const StampCase cases[] = {
        {"german", QLocale(QLocale::German, QLocale::Germany), tuesday,
         " Di 8. Dez. 2026, 09:05:07: "},
        {"german umlaut", QLocale(QLocale::German, QLocale::Germany), march,
         " Sa 1. Mär. 2025, 23:59:00: "},
        {"c locale", QLocale::c(), tuesday, " Tue 8. Dec. 2026, 09:05:07: "},
        {"finnish dot separator", QLocale(QLocale::Finnish, QLocale::Finland), tuesday,
         " ti 8. joulu. 2026, 09.05.07. "},
    };
    for (const StampCase& c : cases) {
        EXPECT_EQ(LogTimeStamp(c.when, c.locale), Ansi::Lit(c.expected)) << c.name;
    }
    // Windows-1252 on disk: "ä" is one byte.
    EXPECT_TRUE(LogTimeStamp(march, QLocale(QLocale::German, QLocale::Germany)).contains('\xe4'));
}

TEST(MainWindowLog, EntryAndName) {
    const QDateTime when(QDate(2026, 1, 5), QTime(7, 0, 0));
    const QLocale c = QLocale::c();
    EXPECT_EQ(LogEntry("Beginn ", when, c), "Beginn  Mon 5. Jan. 2026, 07:00:00: \r\n");
    EXPECT_EQ(LogEntry("", when, c), " Mon 5. Jan. 2026, 07:00:00: \r\n");
    EXPECT_EQ(LogFileNameFor("/data/send", "dnc"), "/data/send/dnc.log");
    // Empty values never name the file-system root or a hidden file.
    EXPECT_EQ(LogFileNameFor("", "dnc"), "dnc.log");
    EXPECT_EQ(LogFileNameFor("send", ""), "send/Protokoll.log");
    EXPECT_EQ(LogFileNameFor("", ""), "Protokoll.log");
    EXPECT_EQ(LogFileNameFor("send/", "x"), "send//x.log");
}

TEST(MainWindowLog, AppendsWithoutTruncatingAndCreatesOnlyWhenAsked) {
    QTemporaryDir dir;
    const QString path = dir.filePath("a.log");
    EXPECT_THROW(AppendLogEntry(path, "x\r\n", false), std::runtime_error);
    EXPECT_FALSE(QFile::exists(path));

    AppendLogEntry(path, "first\r\n", true);
    AppendLogEntry(path, "second\r\n", false);
    EXPECT_EQ(ReadAll(path), "first\r\nsecond\r\n");

    const QString empty = dir.filePath("empty.log");
    WriteAll(empty, "");
    AppendLogEntry(empty, "one\r\n", false);
    EXPECT_EQ(ReadAll(empty), "one\r\n");

    EXPECT_THROW(AppendLogEntry(dir.filePath("no/such/folder/x.log"), "x", true),
                 std::runtime_error);
}

TEST(MainWindowLog, AFileHeldByAnotherOpenerIsNotWritten) {
    QTemporaryDir dir;
    const QString path = dir.filePath("held.log");
    WriteAll(path, "old\r\n");
    const int other = ::open(QFile::encodeName(path).constData(), O_RDWR);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    try {
        AppendLogEntry(path, "new\r\n", false);
        ADD_FAILURE() << "write to a held file succeeded";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("held.log"), std::string::npos) << e.what();
    }
    ::close(other);
    EXPECT_EQ(ReadAll(path), "old\r\n");
}

TEST(MainWindowIni, SetKeepsEverythingElseByteForByte) {
    struct Case {
        const char* name;
        QByteArray before;
        QByteArray after;
    };
    const Case cases[] = {
        {"empty file", "", "[SerBsp1]\r\nConfiguration=NEW\r\n"},
        {"other section kept, LF ends kept", "; comment\n[Other]\nKey=a%20b=c\n",
         "; comment\n[Other]\nKey=a%20b=c\n[SerBsp1]\nConfiguration=NEW\n"},
        {"replace in place, key spelling kept",
         "[serbsp1]\r\nconfiguration=OLD\r\nMore=1\r\n\r\n[X]\r\nY=2\r\n",
         "[serbsp1]\r\nconfiguration=NEW\r\nMore=1\r\n\r\n[X]\r\nY=2\r\n"},
        {"key added at the end of its section", "[SerBsp1]\r\nA=1\r\n\r\n[X]\r\nY=2",
         "[SerBsp1]\r\nA=1\r\nConfiguration=NEW\r\n\r\n[X]\r\nY=2"},
        {"last line without end", "[X]\r\nY=2", "[X]\r\nY=2\r\n[SerBsp1]\r\nConfiguration=NEW\r\n"},
    };
    for (const Case& c : cases) {
        const QByteArray out = IniSet(c.before, "SerBsp1", "Configuration", "NEW");
        EXPECT_EQ(out, c.after) << c.name;
        EXPECT_EQ(IniGet(out, "SerBsp1", "Configuration", "def"), "NEW") << c.name;
        EXPECT_EQ(IniSet(out, "SerBsp1", "Configuration", "NEW"), out) << c.name << " (twice)";
    }
    EXPECT_EQ(IniGet("[X]\r\nConfiguration=1\r\n", "SerBsp1", "Configuration", "def"), "def");
    EXPECT_EQ(IniGet("[SerBsp1]\r\nOther=1\r\n", "SerBsp1", "Configuration", "def"), "def");
    EXPECT_EQ(IniGet("[SerBsp1]\r\nConfiguration =  v=w \r\n", "SerBsp1", "Configuration", ""),
              "v=w");
}

TEST(MainWindowIni, WriteCreatesFolderAndReportsFailure) {
    QTemporaryDir dir;
    const QString path = dir.filePath("cfg/dnc-server/SerDemo.ini");
    EXPECT_EQ(IniReadString(path, "SerBsp1", "Configuration", "none"), "none");
    IniWriteString(path, "SerBsp1", "Configuration", "ABC");
    EXPECT_EQ(ReadAll(path), "[SerBsp1]\r\nConfiguration=ABC\r\n");

    // A folder that cannot be made: a file stands where the folder should be.
    WriteAll(dir.filePath("blocker"), "x");
    EXPECT_THROW(IniWriteString(dir.filePath("blocker/SerDemo.ini"), "S", "K", "V"),
                 std::runtime_error);
}

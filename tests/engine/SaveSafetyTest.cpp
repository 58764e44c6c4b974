// Where received programs go when they cannot go where they belong: versions of replaced
// programs, and programs kept whole in a folder of their own.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "common/Errors.h"
#include "common/Versions.h"
#include "engine/KeepReceived.h"
#include "tests/common/TestFiles.h"

using test_files::ReadFile;
using test_files::WriteFile;

TEST(Versions, KeepsTheLastTenOfEachNameOldestGoFirst) {
    QTemporaryDir dir;
    const QString program = dir.filePath("P4711.CNC");
    EXPECT_TRUE(Versions::Keep(program).isEmpty()) << "no file, nothing to keep";
    WriteFile(dir.filePath("OTHER.CNC"), "other");
    EXPECT_FALSE(Versions::Keep(dir.filePath("OTHER.CNC")).isEmpty());

    QStringList kept;
    for (int v = 1; v <= 12; ++v) {
        WriteFile(program, "version " + QByteArray::number(v));
        kept << Versions::Keep(program);
        EXPECT_EQ(ReadFile(kept.last()), "version " + QByteArray::number(v));
    }
    EXPECT_EQ(ReadFile(program), "version 12") << "the file itself stays";
    // Twelve in the same second or two: all distinct, the two oldest gone.
    EXPECT_EQ(QSet<QString>(kept.begin(), kept.end()).size(), 12);
    EXPECT_FALSE(QFile::exists(kept[0]));
    EXPECT_FALSE(QFile::exists(kept[1]));
    for (int i = 2; i < 12; ++i) EXPECT_TRUE(QFile::exists(kept[i])) << i;
    const QDir versions(dir.filePath(".versionen"));
    EXPECT_EQ(versions.entryList(QDir::Files).size(), 11) << "ten of P4711, one of OTHER";
    // A replacement that fails (a full disk), tried again and again: its copies go again, and
    // no older version goes for them.
    for (int again = 0; again < 3; ++again) {
        EXPECT_THROW(
            Versions::Keep(program, [] { throw FileError("Schreiben", "P4711.CNC", "voll"); }),
            FileError);
    }
    EXPECT_TRUE(QFile::exists(kept[2]));
    EXPECT_EQ(versions.entryList(QDir::Files).size(), 11);
    EXPECT_TRUE(QFileInfo(kept.last()).fileName().endsWith("-P4711.CNC"));
    EXPECT_TRUE(QDateTime::fromString(QFileInfo(kept.last()).fileName().left(15),
                                      QStringLiteral("yyyyMMdd-HHmmss"))
                    .isValid());

    // Where the versions folder cannot be made, the copy fails and says why.
    QTemporaryDir blocked;
    WriteFile(blocked.filePath(".versionen"), "a file in the way");
    WriteFile(blocked.filePath("A.CNC"), "a");
    EXPECT_THROW(Versions::Keep(blocked.filePath("A.CNC")), FileError);
    EXPECT_EQ(ReadFile(blocked.filePath("A.CNC")), "a");
}

TEST(KeepReceived, NeverReplacesAFileAndRefusesPathsAsNames) {
    QTemporaryDir dir;
    const QString folder = dir.filePath("nicht-gespeichert");
    const QString first = KeepReceived(folder, "P4711", "CNC", "eins");
    const QString second = KeepReceived(folder, "P4711", "CNC", "zwei");
    EXPECT_TRUE(QFileInfo(first).isAbsolute());
    EXPECT_EQ(ReadFile(first), "eins");
    EXPECT_EQ(ReadFile(second), "zwei");
    EXPECT_TRUE(first.endsWith("-P4711.CNC")) << first.toStdString();
    if (QFileInfo(first).fileName().left(15) == QFileInfo(second).fileName().left(15)) {
        EXPECT_TRUE(second.endsWith("-P4711-2.CNC")) << second.toStdString();
    }

    const QString unsafe = KeepReceived(folder, "../../etc/x", "CNC", "drei");
    EXPECT_EQ(QFileInfo(unsafe).absolutePath(), QFileInfo(folder).absoluteFilePath());
    EXPECT_TRUE(unsafe.endsWith("-Empfang.CNC")) << unsafe.toStdString();
    EXPECT_TRUE(KeepReceived(folder, "", "", "vier").endsWith("-Empfang"));

    WriteFile(dir.filePath("blocked"), "x");
    EXPECT_THROW(KeepReceived(dir.filePath("blocked/sub"), "A", "CNC", "x"), FileError);
}

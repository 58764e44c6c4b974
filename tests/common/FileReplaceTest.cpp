// Replacing a settings file: through a temporary file, or in place where the folder takes
// no new file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "common/Errors.h"
#include "common/FileReplace.h"
#include "tests/common/ImmutableFolder.h"

namespace {

QByteArray Read(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void Write(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

TEST(FileReplace, ThroughATemporaryKeepingModeAndLink) {
    QTemporaryDir dir;
    const QString file = dir.filePath("SerDemo.ini");
    Write(file, "alt\r\n");
    ASSERT_EQ(chmod(QFile::encodeName(file).constData(), 0640), 0);
    ASSERT_TRUE(QFile::link(file, dir.filePath("link.ini")));

    EXPECT_EQ(ReplaceFileContent(dir.filePath("link.ini"), "neu\r\n", "Schreiben"),
              TReplaceWay::ThroughTemporary);
    EXPECT_EQ(Read(file), "neu\r\n");
    EXPECT_TRUE(QFileInfo(dir.filePath("link.ini")).isSymLink());
    struct stat st {};
    ASSERT_EQ(stat(QFile::encodeName(file).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::System),
              QStringList({"link.ini", "SerDemo.ini"}));  // no temporary left behind
}

TEST(FileReplace, InPlaceWhereTheFolderTakesNoNewFile) {
    QTemporaryDir dir;
    const QString file = dir.filePath("Config.ini");
    Write(file, "eine lange alte Zeile\r\n");
    ImmutableFolder folder(dir.path());
    if (!folder.Set()) GTEST_SKIP() << "the file system cannot make a folder immutable";

    EXPECT_EQ(ReplaceFileContent(file, "kurz\r\n", "Schreiben"), TReplaceWay::InPlace);
    EXPECT_EQ(Read(file), "kurz\r\n");
    // Without a file there is nothing to write in place.
    EXPECT_THROW(ReplaceFileContent(dir.filePath("neu.ini"), "x", "Schreiben"), FileError);
    folder.Release();
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"Config.ini"});
    EXPECT_TRUE(
        InPlaceNote(file).contains("wurde direkt \xfc"
                                   "berschrieben"));
}

}  // namespace

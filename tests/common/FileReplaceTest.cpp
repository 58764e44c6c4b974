// Replacing a settings file: through a temporary file, or in place where the folder takes
// no new file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "common/Errors.h"
#include "common/FileReplace.h"
#include "tests/common/ImmutableFolder.h"
#include "tests/common/TestFiles.h"

using test_files::ReadFile;
using test_files::WriteFile;

namespace {

TEST(FileReplace, ThroughATemporaryKeepingModeAndLink) {
    QTemporaryDir dir;
    const QString file = dir.filePath("SerDemo.ini");
    WriteFile(file, "alt\r\n");
    ASSERT_EQ(chmod(QFile::encodeName(file).constData(), 0640), 0);
    ASSERT_TRUE(QFile::link(file, dir.filePath("link.ini")));

    EXPECT_EQ(ReplaceFileContent(dir.filePath("link.ini"), "neu\r\n", "Schreiben"),
              TReplaceWay::ThroughTemporary);
    EXPECT_EQ(ReadFile(file), "neu\r\n");
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
    WriteFile(file, "eine lange alte Zeile\r\n");
    ImmutableFolder folder(dir.path());
    if (!folder.Set()) GTEST_SKIP() << "the file system cannot make a folder immutable";

    EXPECT_EQ(ReplaceFileContent(file, "kurz\r\n", "Schreiben"), TReplaceWay::InPlace);
    EXPECT_EQ(ReadFile(file), "kurz\r\n");
    // Without a file there is nothing to write in place.
    EXPECT_THROW(ReplaceFileContent(dir.filePath("neu.ini"), "x", "Schreiben"), FileError);
    folder.Release();
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"Config.ini"});
    EXPECT_TRUE(
        InPlaceNote(file).contains("wurde direkt \xfc"
                                   "berschrieben"));
}

TEST(FileReplace, TemporariesCarryTheirOwnerAndOnlyOrphansAreRemoved) {
    QTemporaryDir dir;
    const QString target = dir.filePath("P4711.CNC");
    QStringList during;
    WriteAtomic(target, "neu", "\r\n",
                [&] { during = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden); });
    ASSERT_EQ(during.size(), 1);
    EXPECT_TRUE(during[0].startsWith(".P4711.CNC.dnc-" + QString::fromLatin1(TemporaryOwner())))
        << during[0].toStdString();
    EXPECT_EQ(ReadFile(target), "neu\r\n");
    EXPECT_FALSE(WriteAtomicNew(target, "anders")) << "a taken name is never replaced";
    EXPECT_EQ(ReadFile(target), "neu\r\n");

    // A live process of this host (a child that waits), one that is gone, another host's
    // fresh and old ones, and one of the older form without an owner.
    const QByteArray owner = TemporaryOwner();
    const QByteArray host = owner.left(owner.lastIndexOf('.'));
    const pid_t live = ::fork();
    if (live == 0) {
        ::pause();
        ::_exit(0);
    }
    const pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    const auto temp = [&](const QByteArray& ownerPart) {
        const QString path = dir.filePath(".A.CNC.dnc-" + QString::fromLatin1(ownerPart));
        WriteFile(path, "x");
        return path;
    };
    const QString ofLive = temp(host + "." + QByteArray::number(live) + ".aBcDeF");
    const QString ofGone = temp(host + "." + QByteArray::number(gone) + ".aBcDeF");
    const QString otherFresh = temp("werkstatt-pc2.4711.aBcDeF");
    const QString otherOld = temp("werkstatt-pc2.4712.aBcDeF");
    const QString ownerless = temp("aBcDeF");
    QFile old(otherOld);
    ASSERT_TRUE(old.open(QIODevice::ReadWrite));
    ASSERT_TRUE(old.setFileTime(QDateTime::currentDateTime().addDays(-2),
                                QFileDevice::FileModificationTime));
    old.close();

    const QStringList removed = RemoveOrphanTemporaries(dir.path());
    ::kill(live, SIGKILL);
    ::waitpid(live, nullptr, 0);
    EXPECT_EQ(QSet<QString>(removed.begin(), removed.end()), QSet<QString>({ofGone, otherOld}));
    for (const QString& path : {ofLive, otherFresh, ownerless, target})
        EXPECT_TRUE(QFile::exists(path)) << path.toStdString();
}

}  // namespace

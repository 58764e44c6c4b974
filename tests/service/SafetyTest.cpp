// Nothing lost, nothing claimed, with real faults: a save folder that is missing, a full disk
// (a small tmpfs), two servers on one save folder, kill -9 in the middle of a save, files the
// service cannot read at start.
#include "ServiceRig.h"
#include "tests/common/SmallDisk.h"

using namespace service_test;

namespace {

QByteArray Program(const QByteArray& name, const QByteArray& body = "N10 G1 X10") {
    return "%\r\n(DFS," + name + ",)\r\n" + body + "\r\nM30\r\n";
}

// The files of a folder whose names end in suffix.
QStringList FilesEndingIn(const QString& folder, const QString& suffix) {
    return QDir(folder).entryList({"*" + suffix}, QDir::Files);
}

}  // namespace

// Faults 1, 2 and 6: Config.ini as an editor of today writes it (UTF-8 with its mark, an
// umlaut in the save folder, blanks after the folder and the extension); the folder is not
// there yet, so the programs are kept and said; once it is, they are saved, and a program
// replaced is kept as a version.
TEST(Safety, UnsavedProgramsAreKeptAndSaidThenSavedUnderTheUmlautFolder) {
    ServiceRig rig;
    const QString folder = rig.dir.filePath(QString::fromUtf8("Empfänge"));
    WriteFile(rig.dir.filePath("Config.ini"),
              "\xEF\xBB\xBF" + ConfigLines("0", QFile::encodeName(rig.dir.filePath("send")) + " ",
                                           folder.toUtf8() + "  ", "CNC "));
    rig.OwnLine();
    rig.StartServer();
    ASSERT_TRUE(rig.Started()) << rig.Messages().constData();
    const QByteArray said = rig.Messages();
    EXPECT_TRUE(said.contains("Speicherort ablegen \"" + folder.toUtf8() + "\" fehlt"))
        << said.constData();
    EXPECT_TRUE(said.contains("UTF-8 (mit BOM)")) << said.constData();
    EXPECT_TRUE(
        said.contains("Zeile 5 (Datei Extension), Zeile 12 (Speicherort "
                      "\xC3\xBC"
                      "bertragen), Zeile 13"))
        << said.constData();

    const QString unsaved = rig.dir.filePath("nicht-gespeichert");
    for (const QByteArray name : {"P1", "P2"}) {
        rig.Send(Program(name));
        ASSERT_TRUE(WaitFor([&] { return !FilesEndingIn(unsaved, "-" + name + ".CNC").isEmpty(); }))
            << rig.Messages().constData();
        const QString kept = unsaved + "/" + FilesEndingIn(unsaved, "-" + name + ".CNC")[0];
        EXPECT_EQ(ReadFile(kept), Program(name) + "\r\n");
        ASSERT_TRUE(WaitFor([&] { return rig.Log().contains(QFile::encodeName(kept)); }));
    }
    EXPECT_EQ(ReadFile(rig.dir.filePath("xxx.tmp")), Program("P2") + "\r\n");
    const QByteArray log = rig.Log();
    EXPECT_EQ(log.count(" nicht gespeichert ("), 2) << log.constData();
    EXPECT_TRUE(log.contains("No such file or directory")) << log.constData();
    EXPECT_TRUE(rig.Said("Programm nicht gespeichert, gesichert als"));

    // Read again while the folder is still missing: said again.
    ::kill(pid_t(rig.server.processId()), SIGHUP);
    ASSERT_TRUE(WaitFor([&] {
        const QByteArray m = rig.Messages();
        return m.mid(m.indexOf("Config.ini wird neu gelesen")).contains("\" fehlt");
    })) << rig.Messages().constData();

    ASSERT_TRUE(QDir().mkpath(folder));
    rig.Send(Program("P3", "N10 X1"));
    ASSERT_TRUE(WaitFor([&] { return rig.Log().contains("P3.CNC PRG Nr = 1 "); }))
        << rig.Messages().constData();
    rig.Send(Program("P3", "N10 X2"));
    ASSERT_TRUE(WaitFor([&] { return rig.Log().contains("P3.CNC PRG Nr = 2 "); }))
        << rig.Messages().constData();
    EXPECT_EQ(ReadFile(folder + "/P3.CNC"), Program("P3", "N10 X2") + "\r\n");
    // The log is Windows-1252, as ever: the folder's umlaut is one byte there.
    EXPECT_TRUE(rig.Log().contains("Empf\xE4nge/P3.CNC PRG Nr = 1 "));
    const QStringList versions = FilesEndingIn(folder + "/.versionen", "-P3.CNC");
    ASSERT_EQ(versions.size(), 1);
    EXPECT_EQ(ReadFile(folder + "/.versionen/" + versions[0]), Program("P3", "N10 X1") + "\r\n");
    EXPECT_TRUE(rig.Said("Meldung: Neuer File zum Speichern schon vorhanden"));
    EXPECT_TRUE(rig.Said("die vorherige Fassung ist gesichert als"));
    ::kill(pid_t(rig.server.processId()), SIGTERM);
    EXPECT_EQ(rig.Finished(), 0);
}

// Fault 3: the log's folder on a disk that fills up. An entry is in the log whole or not at
// all; those that could not be written go out, in order, once there is room again.
TEST(Safety, AFullDiskCutsNoLogEntryAndLosesNone) {
    ServiceRig rig;
    SmallDisk disk(rig.dir.filePath("send"));
    if (!disk.Mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here (needs root)";
    WriteFile(rig.dir.filePath("send/DNC.log"), "");
    rig.OwnLine();
    rig.StartServer();
    ASSERT_TRUE(rig.Started()) << rig.Messages().constData();
    // The log ends 35 bytes before a page: a full disk takes just those 35 of an entry.
    QFile log(rig.dir.filePath("send/DNC.log"));
    ASSERT_TRUE(log.open(QIODevice::Append));
    log.write(QByteArray(4096 - 35 - log.size() % 4096 - 2, '-') + "\r\n");
    log.close();
    const QByteArray before = rig.Log();
    disk.Fill();

    rig.Send(Program("P1"));
    ASSERT_TRUE(rig.Said("(1 warten)")) << rig.Messages().constData();
    rig.Send(Program("P2"));
    ASSERT_TRUE(rig.Said("(2 warten)")) << rig.Messages().constData();
    EXPECT_EQ(rig.Log(), before) << "nothing of an entry that did not fit";
    EXPECT_TRUE(rig.Said("Bytes geschrieben (Datentr")) << rig.Messages().constData();

    disk.Free();
    rig.Send(Program("P3"));
    ASSERT_TRUE(WaitFor([&] { return rig.Log().contains("P3.CNC PRG Nr = 3 "); }))
        << rig.Messages().constData();
    const QList<QByteArray> entries = rig.Log().mid(before.size()).split('\n');
    ASSERT_EQ(entries.size(), 4) << rig.Log().constData();
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(entries[i].contains("P" + QByteArray::number(i + 1) + ".CNC PRG Nr = ") &&
                    entries[i].endsWith(" \r"))
            << entries[i].constData();
    }
    EXPECT_TRUE(
        rig.Said("2 zur\xC3\xBC"
                 "ckgehaltene Protokolleintr\xC3\xA4ge nachgeholt"));
    rig.Kill();
}

// A full save disk: the program replaced stays as it was, the new one is kept whole in
// nicht-gespeichert, and nothing half written is left in the save folder.
TEST(Safety, AFullSaveDiskKeepsBothTheOldAndTheNewProgram) {
    ServiceRig rig;
    SmallDisk disk(rig.dir.filePath("save"));
    if (!disk.Mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here (needs root)";
    WriteFile(rig.dir.filePath("save/P1.CNC"), "alt\r\n");
    disk.Fill();
    rig.OwnLine();
    rig.StartServer();
    ASSERT_TRUE(rig.Started()) << rig.Messages().constData();
    rig.Send(Program("P1"));
    ASSERT_TRUE(WaitFor([&] { return rig.Log().contains("P1.CNC nicht gespeichert ("); }))
        << rig.Messages().constData();
    EXPECT_TRUE(rig.Log().contains("No space left on device")) << rig.Log().constData();
    const QString unsaved = rig.dir.filePath("nicht-gespeichert");
    ASSERT_EQ(FilesEndingIn(unsaved, "-P1.CNC").size(), 1);
    EXPECT_EQ(ReadFile(unsaved + "/" + FilesEndingIn(unsaved, "-P1.CNC")[0]),
              Program("P1") + "\r\n");
    EXPECT_EQ(ReadFile(rig.dir.filePath("save/P1.CNC")), "alt\r\n");
    EXPECT_EQ(QDir(rig.dir.filePath("save")).entryList(QDir::Files | QDir::Hidden),
              QStringList({"filler", "P1.CNC"}));
    rig.Kill();
}

// Fault 4: a second server that starts while the first writes a program into the shared
// save folder leaves the first one's temporary alone. Fault 7: a kill -9 right after the
// rename, or right before it, is finished at the next start.
TEST(Safety, SharedSaveFolderAndKillsInTheMiddleOfASave) {
    ServiceRig first, second;
    const QByteArray shared = QFile::encodeName(first.dir.filePath("save"));
    WriteFile(second.dir.filePath("Config.ini"),
              ConfigLines("0", QFile::encodeName(second.dir.filePath("send")), shared));
    first.OwnLine();
    second.OwnLine();
    first.StartServer({"--service"}, {}, {"DNC_TEST_STOP=before-rename"});
    ASSERT_TRUE(first.Started()) << first.Messages().constData();
    first.Send(Program("P1"));
    ASSERT_TRUE(first.Stopped());
    const QStringList temps =
        QDir(first.dir.filePath("save")).entryList({".P1.CNC.dnc-*"}, QDir::Files | QDir::Hidden);
    ASSERT_EQ(temps.size(), 1);
    second.StartServer();
    ASSERT_TRUE(second.Started()) << second.Messages().constData();
    EXPECT_FALSE(second.Messages().contains("entfernt")) << second.Messages().constData();
    EXPECT_TRUE(QFile::exists(first.dir.filePath("save/" + temps[0])));
    ::kill(pid_t(first.server.processId()), SIGCONT);
    ASSERT_TRUE(WaitFor([&] { return first.Log().contains("P1.CNC PRG Nr = 1 "); }))
        << first.Messages().constData();
    EXPECT_EQ(ReadFile(first.dir.filePath("save/P1.CNC")), Program("P1") + "\r\n");
    first.Kill();

    // Killed after the rename, before the log entry: the next start logs the save.
    first.StartServer({"--service"}, {}, {"DNC_TEST_STOP=after-rename"});
    ASSERT_TRUE(first.Started());
    first.Send(Program("P2"));
    ASSERT_TRUE(first.Stopped());
    first.Kill();
    ASSERT_FALSE(first.Log().contains("P2.CNC"));
    first.StartServer();
    ASSERT_TRUE(WaitFor([&] { return first.Log().contains("(nach Abbruch nachgetragen)"); }))
        << first.Messages().constData();
    EXPECT_TRUE(first.Log().contains("P2.CNC PRG Nr = 1 (nach Abbruch nachgetragen)"));
    EXPECT_TRUE(first.Said("ohne Protokolleintrag"));
    first.Kill();

    // Killed before the rename: the program was only in xxx.tmp; the next start keeps it,
    // says so and removes the temporary its dead owner left.
    first.StartServer({"--service"}, {}, {"DNC_TEST_STOP=before-rename"});
    ASSERT_TRUE(first.Started());
    first.Send(Program("P3"));
    ASSERT_TRUE(first.Stopped());
    first.Kill();
    first.StartServer();
    ASSERT_TRUE(first.Said("nur in xxx.tmp")) << first.Messages().constData();
    const QString unsaved = first.dir.filePath("nicht-gespeichert");
    ASSERT_EQ(FilesEndingIn(unsaved, "-P3.CNC").size(), 1);
    EXPECT_EQ(ReadFile(unsaved + "/" + FilesEndingIn(unsaved, "-P3.CNC")[0]),
              Program("P3") + "\r\n");
    EXPECT_TRUE(first.Said("Unvollst\xC3\xA4ndige Datei eines Abbruchs entfernt"));
    EXPECT_TRUE(WaitFor([&] { return first.Log().contains("P3.CNC nicht gespeichert"); }));
    EXPECT_FALSE(QFile::exists(first.dir.filePath("save/P3.CNC")));
}

// Fault 5: a file the service reads at start that it cannot read, or a folder in its place,
// is named, and the service ends with that file's status: never with an abort.
TEST(Safety, FilesItCannotReadAtStartEndItWithTheirStatus) {
    struct Row {
        const char* name;
        const char* path;  // in the machine folder
        bool folder;       // a folder in its place; else unreadable for the user nobody
        int status;
    } rows[] = {
        {"SerDemo.ini a folder", ".config/dnc-server/SerDemo.ini", true, 3},
        {"SerDemo.ini unreadable", ".config/dnc-server/SerDemo.ini", false, 3},
        {"port map entry a folder", ".config/dnc-server/ports/COM1", true, 4},
        {"Config.ini a folder", "Config.ini", true, 2},
        {"Config.ini unreadable", "Config.ini", false, 2},
        {"log a folder", "send/DNC.log", true, 5},
        {"log unreadable", "send/DNC.log", false, 5},
    };
    const bool root = ::geteuid() == 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (!row.folder && !root) continue;  // needs root to start as another user
        ServiceRig rig;
        const QString path = rig.dir.filePath(row.path);
        if (row.folder) {
            QFile::remove(path);
            ASSERT_TRUE(QDir().mkpath(path));
            if (path != rig.link) rig.OwnLine();
            rig.StartServer();
        } else {
            // Everything readable by the user but this file.
            for (const QString& dir :
                 {rig.dir.path(), rig.dir.filePath("send"), rig.dir.filePath("save"),
                  rig.dir.filePath(".config"), rig.dir.filePath(".config/dnc-server"),
                  rig.dir.filePath(".config/dnc-server/ports")})
                ::chmod(QFile::encodeName(dir).constData(), 0777);
            for (const QString& file : {rig.dir.filePath("Config.ini"),
                                        rig.dir.filePath(".config/dnc-server/SerDemo.ini"),
                                        rig.dir.filePath("send/DNC.log")})
                ::chmod(QFile::encodeName(file).constData(), 0666);
            ::chmod(QFile::encodeName(path).constData(), 0600);
            rig.OwnLine();
            ::chmod(QFile::encodeName(rig.link).constData(), 0666);
            rig.StartServer({"--service"}, "nobody");
        }
        EXPECT_EQ(rig.Finished(), row.status) << rig.Messages().constData();
        const QByteArray said = rig.Messages();
        EXPECT_TRUE(said.contains(QFileInfo(path).fileName().toUtf8())) << said.constData();
        EXPECT_TRUE(said.contains(row.folder ? "ist ein Ordner" : "ermission denied"))
            << said.constData();
        EXPECT_FALSE(said.contains("terminate called")) << said.constData();
    }
}

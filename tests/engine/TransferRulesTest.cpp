#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "common/Errors.h"
#include "common/FilePaths.h"
#include "common/FileReplace.h"
#include "engine/TransferRules.h"

using namespace TransferRules;

TEST(TransferRules, CallLengthCountsEachLineEndAsCrLf) {
    EXPECT_EQ(CallLength("%Prg\r\nO2507\r\nM30\r\n"), 18);
    EXPECT_EQ(CallLength("%Prg\nO2507\nM30\n"), 18);
    EXPECT_EQ(CallLength("%Prg\rO2507\rM30\r"), 18);
    EXPECT_EQ(CallLength("\n\r"), 4);  // LF CR: two line ends
    EXPECT_TRUE(IsCallText("%Prg\nO2507\nM30\n", "Prg"));
    EXPECT_FALSE(IsCallText("%PrgO2507M30\r\n", "Prg")) << "14 characters";
    EXPECT_FALSE(IsCallText("%%Prg\nO2507\nM30\n", "Prg"));
    EXPECT_FALSE(IsCallText("%Prg\nO2507\nM30\n", ""));
}

TEST(TransferRules, LeadingPartAndCallHead) {
    struct Row {
        QByteArray completed, prgAk, leading;
    } rows[] = {
        {"%Prg\r\nO2507\r\nM30\r\n", "Prg", "%Prg"},
        {"N1 Prg", "Prg", "N1 Prg"},  // up to the first occurrence
        {"%PRG\r\n", "Prg", "%P"},    // case-sensitive: absent, so length - 1 characters
        {"", "Prg", ""},
        {"%1234", "3333", "%12"},
        {"\nPrg", "Prg", "\nPrg"},
        {"abc", "P", ""},  // absent one-character identifier: count 0, empty
    };
    for (const auto& r : rows) {
        EXPECT_EQ(LeadingPart(r.completed, r.prgAk), r.leading) << r.completed.constData();
    }
    EXPECT_EQ(LeadingPart("xPy", ""), QByteArray());
    EXPECT_EQ(CallHead("Prg"), QByteArray("%Prg"));
}

TEST(TransferRules, CallNumber) {
    QByteArray number = "keep";
    EXPECT_TRUE(CallNumber("%Prg\r\nO2507\r\nM30", "O", &number));
    EXPECT_EQ(number, "2507");
    EXPECT_TRUE(CallNumber("%Prg\r\nO25", "O", &number));  // fewer than four left
    EXPECT_EQ(number, "25");
    EXPECT_TRUE(CallNumber("xAK12345", "AK", &number));  // after the first character of AK
    EXPECT_EQ(number, "K123");
    number = "keep";
    EXPECT_FALSE(CallNumber("%Prg\r\no2507", "O", &number));  // case-sensitive
    EXPECT_FALSE(CallNumber("%Prg", "", &number));
    EXPECT_EQ(number, "keep");
}

TEST(TransferRules, DecisionTable) {
    struct Row {
        const char* name;
        QByteArray leading, head, sendFile;
        int length;
        QByteArray prgAk;
        ReceiveCase expected;
    } rows[] = {
        {"1 call, no name", "%Prg", "%Prg", "", 20, "Prg", ReceiveCase::CallWithoutName},
        {"1 name is a blank", "", "", " ", 5, "Prg", ReceiveCase::CallWithoutName},
        {"2 send", "%Prg", "%Prg", "2507.CNC", 20, "Prg", ReceiveCase::SendCalled},
        {"2 send at length 2", "", "", "2507.CNC", 2, "Prg", ReceiveCase::SendCalled},
        {"3 save at length 1", "", "", "2507.CNC", 1, "Prg", ReceiveCase::SaveAfterCall},
        {"4 3333 at length 0", "", "", "2507.CNC", 0, "3333", ReceiveCase::CallNotSaved3333},
        {"5 leading below blank", "\nPr", "%Prg", "", 20, "Prg", ReceiveCase::NotAProgram},
        {"5 leading empty, head set", "", "%Prg", "x", 20, "Prg", ReceiveCase::NotAProgram},
        {"6 program, 3333", "N1 3333", "%3333", "", 20, "3333", ReceiveCase::NotSaved3333},
        {"7 program", "N1 Prg", "%Prg", "", 20, "Prg", ReceiveCase::SaveProgram},
        {"7 high byte sorts after a blank", "\xE4x", "%Prg", "", 20, "Prg",
         ReceiveCase::SaveProgram},
        {"7 blank and more", " x", "%Prg", "", 20, "Prg", ReceiveCase::SaveProgram},
        {"5 lone blank", " ", "%Prg", "", 20, "Prg", ReceiveCase::NotAProgram},
        {"7 short call is a program", "%Pr", "", "", 12, "Prg", ReceiveCase::SaveProgram},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(Decide(r.leading, r.head, r.sendFile, r.length, r.prgAk), r.expected) << r.name;
    }
}

TEST(TransferRules, DfsName) {
    struct Row {
        QByteArray text;
        bool keyword;
        QByteArray name;
    } rows[] = {
        {"%\r\n(DFS,P4711,X)\r\nM30", true, "P4711"},
        {"dfs,abc,", true, "abc"},
        {"DFS,123456789,", true, "123456789"},  // nine characters: still found
        {"DFS,1234567890,", true, ""},          // ten: no comma among the ten
        {"DFS,,x", true, ""},
        {"DFS,P4711", true, ""},  // no comma at all
        {"N10 G0\r\nM30", false, ""},
        {"DFS,../../x,", true, "../../x"},  // taken as it stands; the safety check refuses it
    };
    for (const auto& r : rows) {
        bool has = !r.keyword;
        EXPECT_EQ(DfsName(r.text, &has), r.name) << r.text.constData();
        EXPECT_EQ(has, r.keyword) << r.text.constData();
    }
}

TEST(TransferRules, UnsafeNames) {
    for (const QByteArray& name :
         {QByteArray("P4711"), QByteArray("2507.CNC"), QByteArray("a b"), QByteArray("\xE4x")}) {
        EXPECT_TRUE(UnsafeNameReason(name).isEmpty()) << name.constData();
    }
    for (const QByteArray& name :
         {QByteArray(""), QByteArray("."), QByteArray(".."), QByteArray("../x"), QByteArray("a/b"),
          QByteArray("a\\b"), QByteArray("x..y"), QByteArray("a\nb"), QByteArray("a\0b", 3),
          QByteArray("a\x7f")}) {
        EXPECT_FALSE(UnsafeNameReason(name).isEmpty()) << name.toHex().constData();
    }
    EXPECT_EQ(JoinPath("save", "P.CNC"), "save/P.CNC");
    EXPECT_EQ(JoinPath("save/", "P.CNC"), "save/P.CNC");
    EXPECT_EQ(JoinPath("", "P.CNC"), "P.CNC");
}

TEST(TransferRules, AtomicWriteReplacesAndLeavesNoTemporary) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("P4711.CNC");
    QByteArray bytes("%\r\nN10\0\xFF\r\n", 11);
    WriteAtomic(path, "old");
    WriteAtomic(path, bytes);
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), bytes);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"P4711.CNC"});
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_NE(st.st_mode & 0044, 0u) << "not left private like a temporary";
}

TEST(TransferRules, FileErrorsNameThePath) {
    QTemporaryDir dir;
    const QString missing = dir.filePath("no-such-folder/P.CNC");
    try {
        WriteAtomic(missing, "x");
        FAIL() << "no error";
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find("no-such-folder"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("No such file"), std::string::npos);
    }
    EXPECT_THROW(AppendSynced(missing, "x"), FileError);
    const QString tmp = dir.filePath("xxx.tmp");
    AppendSynced(tmp, "ab");
    AppendSynced(tmp, "cd");
    QFile f(tmp);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "abcd");
}

TEST(TransferRules, CallNumberProblems) {
    struct Row {
        const char* name;
        QByteArray completed, ak;
        bool valid;
        QByteArray number;
    } rows[] = {
        {"four digits", "%Prg\r\nO2507\r\nM30", "O", true, "2507"},
        {"letters are a name too", "%Prg\r\nOAB12\r\n", "O", true, "AB12"},
        {"no identifier", "%Prg\r\nN9999 ruf\r\nM30", "O", false, ""},
        {"too short", "%Prg\r\nO25", "O", false, ""},
        {"line end inside", "%Prg\r\nO25\r\nM30", "O", false, ""},
        {"blank inside", "%Prg\r\nO25 7\r\n", "O", false, ""},
        {"would leave the folder", "%Prg\r\nO../x", "O", false, ""},
        {"separator", "%Prg\r\nOa/bc", "O", false, ""},
        {"no identifier set", "%Prg\r\nO2507", "", false, ""},
    };
    for (const auto& r : rows) {
        QByteArray number;
        const QByteArray problem = CallNumberProblem(r.completed, r.ak, &number);
        EXPECT_EQ(problem.isEmpty(), r.valid) << r.name << ": " << problem.constData();
        if (r.valid) {
            EXPECT_EQ(number, r.number) << r.name;
        }
    }
}

TEST(TransferRules, TraceOfALongTextAndFilesInAnyLetterCase) {
    EXPECT_EQ(ForTrace("short", 10), "short");
    const QByteArray cut = ForTrace(QByteArray(100, 'x'), 10);
    EXPECT_TRUE(cut.startsWith(QByteArray(10, 'x') + " ... (100 Zeichen"));

    QTemporaryDir dir;
    const auto touch = [&](const char* name) {
        QFile f(dir.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    };
    touch("2507.cnc");
    touch("1001.CNC");
    touch("3333.cnc");
    touch("3333.Cnc");
    QStringList alternatives;
    EXPECT_EQ(FindIgnoringCase(dir.filePath("1001.CNC"), &alternatives), dir.filePath("1001.CNC"));
    EXPECT_EQ(FindIgnoringCase(dir.filePath("2507.CNC"), &alternatives), dir.filePath("2507.cnc"));
    EXPECT_EQ(FindIgnoringCase(dir.filePath("3333.CNC"), &alternatives), QString());
    alternatives.sort();
    EXPECT_EQ(alternatives, (QStringList{"3333.Cnc", "3333.cnc"}));
    EXPECT_EQ(FindIgnoringCase(dir.filePath("9999.CNC"), &alternatives), QString());
    EXPECT_TRUE(alternatives.isEmpty());
    // A bare name stays a bare name in the working folder.
    const QString old = QDir::currentPath();
    QDir::setCurrent(dir.path());
    EXPECT_EQ(FindIgnoringCase("2507.CNC"), QString("2507.cnc"));
    QDir::setCurrent(old);
}

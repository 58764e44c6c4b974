#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <stdexcept>

#include "common/TextFile.h"

namespace {

struct SplitCase {
    const char* name;
    QByteArray content;
    QList<QByteArray> lines;
};

class SplitLines : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitLines, GivesTheLinesOfTheFile) {
    EXPECT_EQ(TextFile::SplitLines(GetParam().content), GetParam().lines);
}

const QByteArray Z(1, TextFile::kCtrlZ);

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitLines,
    ::testing::Values(SplitCase{"Empty", "", {}},
                      SplitCase{"CrLf", "%\r\nN10 G0 X0\r\nM30\r\n", {"%", "N10 G0 X0", "M30"}},
                      SplitCase{"LfAndNoEndOnTheLast", "a\n\nb", {"a", "", "b"}},
                      SplitCase{"LoneCrStaysInTheLine", "a\rb\r\n", {"a\rb"}},
                      SplitCase{"CtrlZAfterTheLastLine", "a\r\nb\r\n" + Z, {"a", "b"}},
                      SplitCase{"CtrlZAtLineStartEndsTheText", "a\r\n" + Z + "b\r\nc\r\n", {"a"}},
                      SplitCase{"CtrlZInsideCutsItsLine", "ab" + Z + "cd\r\nef\r\n", {"ab", "ef"}},
                      SplitCase{"HighBytesUntouched", "\xE4\xF6\x80\r\n", {"\xE4\xF6\x80"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TextFile, ReadsFromDiskAndNamesAMissingFile) {
    QTemporaryDir dir;
    QFile f(dir.filePath("p.cnc"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("%\r\nM30\r\n");
    f.close();
    EXPECT_EQ(TextFile::ReadLines(f.fileName()), (QList<QByteArray>{"%", "M30"}));

    bool opened = true;
    try {
        TextFile::ReadAll(dir.filePath("missing.cnc"), &opened);
        FAIL() << "no error for a missing file";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("missing.cnc"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(opened);
}

}  // namespace

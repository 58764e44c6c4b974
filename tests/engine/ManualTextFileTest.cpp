#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <stdexcept>

#include "engine/TextFile.h"

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
    ::testing::Values(
        SplitCase{"Empty", "", {}},
        SplitCase{"CrLf", "%\r\nN10 G0 X0\r\nM30\r\n", {"%", "N10 G0 X0", "M30"}},
        SplitCase{"LfOnly", "a\nb\n", {"a", "b"}},
        SplitCase{"LastLineWithoutEnd", "a\r\nb", {"a", "b"}},
        SplitCase{"EmptyLinesKept", "\r\n\nx\r\n", {"", "", "x"}},
        SplitCase{"LoneCrStaysInTheLine", "a\rb\r\n", {"a\rb"}},
        SplitCase{"CtrlZAfterLastLineEndsTheText", "a\r\nb\r\n" + Z, {"a", "b"}},
        SplitCase{"CtrlZAtLineStartDropsTheRest", "a\r\n" + Z + "b\r\nc\r\n", {"a"}},
        SplitCase{"CtrlZInsideCutsOnlyItsLine", "ab" + Z + "cd\r\nef\r\n", {"ab", "ef"}},
        SplitCase{"CtrlZInLastLineWithoutEnd", "ab" + Z + "cd", {"ab"}},
        SplitCase{"HighBytesUntouched", "\xE4\xF6\xFC\x80\r\n", {"\xE4\xF6\xFC\x80"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TextFile, ReadsAFileFromDiskAndReportsAMissingOne) {
    QTemporaryDir dir;
    const QString path = dir.filePath("p.cnc");
    FILE* f = std::fopen(path.toLocal8Bit().constData(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("%\r\nM30\r\n", f);
    std::fclose(f);
    EXPECT_EQ(TextFile::ReadLines(path), (QList<QByteArray>{"%", "M30"}));

    try {
        TextFile::ReadLines(dir.filePath("missing.cnc"));
        FAIL() << "no error for a missing file";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("missing.cnc"), std::string::npos) << e.what();
    }
}

TEST(TextFile, HundredThousandLinesKeepTheirOrder) {
    QByteArray content;
    for (int i = 1; i <= 100000; ++i) content += "N" + QByteArray::number(i) + " X1\r\n";
    const QList<QByteArray> lines = TextFile::SplitLines(content);
    ASSERT_EQ(lines.size(), 100000);
    EXPECT_EQ(lines.front(), "N1 X1");
    EXPECT_EQ(lines.back(), "N100000 X1");
}

}  // namespace

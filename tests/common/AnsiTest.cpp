#include <gtest/gtest.h>

#include "common/Ansi.h"

TEST(Ansi, EveryByteSurvivesTheRoundTrip) {
    QByteArray all;
    for (int b = 0; b < 256; ++b) all.append(static_cast<char>(b));
    const QString shown = Ansi::ToQString(all);
    ASSERT_EQ(shown.size(), 256);
    EXPECT_EQ(Ansi::FromQString(shown), all);
}

TEST(Ansi, GermanLettersAndEuroMapToTheCodePage) {
    EXPECT_EQ(Ansi::Lit("Datenübertragung €"), QByteArray("Daten\xFC"
                                                          "bertragung \x80"));
    EXPECT_EQ(Ansi::ToQString("\xE4\xF6\xDF"), QString::fromUtf8("äöß"));
    EXPECT_EQ(Ansi::FromQString(QString::fromUtf8("Ω")), QByteArray("?"));
}

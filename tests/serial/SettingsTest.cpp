// Settings record, settings text, set rules and the time-out formula.
#include <gtest/gtest.h>

#include <climits>

#include "serial/Serial.h"
#include "tests/serial/PtyPortMap.h"

namespace {

const QByteArray Example =
    "RRS0001074000000204800002048100000170190000160000000400063026010000000000000000000001000108";

TSerialSettings ExampleRecord() {
    TSerialSettings s;
    s.Valid = true;
    s.COMPort = 1;
    s.Baudrate = br_004800;
    s.DataBits = db_8;
    s.ParityBit = none;
    s.StopBits = sb_1;
    s.BufSizeTrm = 2048;
    s.BufSizeRec = 2048;
    s.HandshakeRtsCts = true;
    s.XOnChar = 17;
    s.XOffChar = 19;
    s.XOffLimit = 1600;
    s.XOnLimit = 400;
    s.ErrorChar = 63;
    s.EofChar = 26;
    s.EventChar = 10;
    s.RecTimeOut = 0;
    s.TrmTimeOut = 1000;
    return s;
}

// Equal records give equal texts (every field has its window, the flag aside).
bool SameSettings(const TSerialSettings& a, const TSerialSettings& b) {
    TSerial serial;
    TSerialSettings x = a, y = b;
    x.Valid = y.Valid = true;
    QByteArray tx, ty;
    serial.SettingsToText(x, tx);
    serial.SettingsToText(y, ty);
    return a.Valid == b.Valid && tx == ty;
}

// The text with new bytes at pos and the checksum made right again.
QByteArray Patched(QByteArray text, int pos, const QByteArray& bytes) {
    text.replace(pos, bytes.size(), bytes);
    quint8 x = 0;
    for (int i = 0; i < 88; ++i) x ^= quint8(text[i]);
    text.replace(88, 3, QByteArray::number(x).rightJustified(3, '0'));
    return text;
}

class SerialSettings : public ::testing::Test {
  protected:
    PtyPortMap map;
};

TEST_F(SerialSettings, ExampleRecordGivesTheExampleTextAndBack) {
    TSerial serial;
    QByteArray text;
    serial.SettingsToText(ExampleRecord(), text);
    EXPECT_EQ(text, Example);
    EXPECT_EQ(text.size(), 91);

    TSerialSettings back;
    serial.TextToSettings(Example, back);
    EXPECT_TRUE(SameSettings(back, ExampleRecord()));
}

TEST_F(SerialSettings, InvalidRecordGivesEmptyText) {
    TSerial serial;
    TSerialSettings s = ExampleRecord();
    s.Valid = false;
    QByteArray text = "old";
    serial.SettingsToText(s, text);
    EXPECT_TRUE(text.isEmpty());
}

TEST_F(SerialSettings, DamagedTextsAreInvalidAndKeepTheCurrentSettings) {
    struct Row {
        const char* name;
        QByteArray text;
    };
    QByteArray digitChanged = Example;
    digitChanged[5] = '2';
    QByteArray fourthChar = Example;
    fourthChar[3] = '1';
    const Row rows[] = {
        {"empty", ""},
        {"four characters", "RRS0"},
        {"one digit changed, checksum not", digitChanged},
        {"fourth character 1", Patched(fourthChar, 0, "")},
        {"baud rate 20", Patched(Example, 7, "20")},
        {"data bits 5", Patched(Example, 9, "5")},
        {"parity 5", Patched(Example, 10, "5")},
        {"stop bits 3", Patched(Example, 11, "3")},
        {"cut after position 60", Example.left(61)},
        {"letter in a buffer size", Patched(Example, 12, "0000204A")},
        {"blank after digits", Patched(Example, 68, "000000000 ")},
        {"letter in a line flag", Patched(Example, 28, "Y")},
        {"checksum window not a number", Example.left(88) + "1 8"},
    };
    TSerial serial;
    serial.SetBaudrate(br_057600);
    TSerialSettings current;
    serial.GetSettings(current);
    current.Valid = false;
    for (const Row& row : rows) {
        TSerialSettings s;
        serial.TextToSettings(row.text, s);
        EXPECT_FALSE(s.Valid) << row.name;
        if (row.text.size() <= 4) {
            EXPECT_TRUE(SameSettings(s, current)) << row.name;
        }
    }
}

TEST_F(SerialSettings, RunTimeIntegerSyntaxIsAccepted) {
    struct Row {
        const char* name;
        int pos;
        QByteArray field;
        int trmTimeOut;  // expected when pos is 78
    };
    const Row rows[] = {
        {"leading blanks", 78, "      1000", 1000},
        {"plus sign", 78, "+000001000", 1000},
        {"dollar hex", 78, "  $00003E8", 1000},
        {"0x hex", 78, "0x000003E8", 1000},
        {"x hex", 78, "x0000003e8", 1000},
        // A negated hexadecimal wraps as 32 bits; "-$80000000" overflowed an int.
        {"negative hex", 78, "-$000003E8", -1000},
        {"negated lowest hex", 78, "-$80000000", INT_MIN},
        {"negated hex -1", 78, "-$FFFFFFFF", 1},
    };
    TSerial serial;
    for (const Row& row : rows) {
        TSerialSettings s;
        serial.TextToSettings(Patched(Example, row.pos, row.field.left(10)), s);
        EXPECT_TRUE(s.Valid) << row.name;
        EXPECT_EQ(s.TrmTimeOut, row.trmTimeOut) << row.name;
    }
    // Characters past 91 are ignored; a NUL inside the text ends it.
    TSerialSettings s;
    serial.TextToSettings(Example + "trailing garbage", s);
    EXPECT_TRUE(s.Valid);
    QByteArray withNul = Example;
    withNul[40] = '\0';
    serial.TextToSettings(withNul, s);
    EXPECT_FALSE(s.Valid);
    // Also when the checksum is made to fit the bytes after the NUL: the text ends there.
    serial.TextToSettings(Patched(Example, 46, QByteArray(1, '\0')), s);
    EXPECT_FALSE(s.Valid);
    EXPECT_EQ(s.XOffLimit, 1600);  // not read from the cut window
}

TEST_F(SerialSettings, LimitsAreClampedInOrder) {
    TSerial serial;
    serial.SetBufSizeRec(1000);
    EXPECT_EQ(serial.XOffLimit(), 1000);
    EXPECT_EQ(serial.XOnLimit(), 400);
    serial.SetXOnLimit(1200);
    EXPECT_EQ(serial.XOnLimit(), 999);
    serial.SetXOffLimit(500);  // not above XOnLimit: raised
    EXPECT_EQ(serial.XOffLimit(), 1000);
    serial.SetXOnLimit(-5);
    EXPECT_EQ(serial.XOnLimit(), 0);
    serial.SetBufSizeRec(3);
    EXPECT_EQ(serial.BufSizeRec(), 16);
    EXPECT_EQ(serial.XOffLimit(), 16);
    serial.SetBufSizeTrm(5);
    EXPECT_EQ(serial.BufSizeTrm(), 16);
    serial.SetRecTimeOut(-1);
    serial.SetTrmTimeOut(-7);
    EXPECT_EQ(serial.RecTimeOut(), 0);
    EXPECT_EQ(serial.TrmTimeOut(), 0);
    serial.SetParityBit(mark);
    EXPECT_TRUE(serial.ParityCheck());
    serial.SetParityBit(none);
    EXPECT_FALSE(serial.ParityCheck());
}

TEST_F(SerialSettings, SetSettingsAppliesThroughTheSetters) {
    TSerial serial;
    TSerialSettings s = ExampleRecord();
    s.XOffLimit = 300;
    s.XOnLimit = 500;
    s.BufSizeRec = 2048;
    s.COMPort = 7;  // not probed: becomes 0
    serial.SetSettings(s);
    EXPECT_EQ(serial.XOffLimit(), 401);
    EXPECT_EQ(serial.XOnLimit(), 400);
    EXPECT_EQ(serial.COMPort(), 0);
    EXPECT_EQ(serial.Baudrate(), br_004800);
    EXPECT_EQ(serial.TrmTimeOut(), 1000);
    EXPECT_EQ(serial.EventChar(), 10);

    s.Valid = false;
    s.Baudrate = br_000300;
    serial.SetSettings(s);
    EXPECT_EQ(serial.Baudrate(), br_004800);
}

TEST(SerialTimeouts, FollowTheBitRate) {
    struct Row {
        quint32 baud;
        int rec, trm;
        bool set;
        quint32 interval, readMul, readConst, writeMul, writeConst;
    };
    const Row rows[] = {
        {4800, 0, 1000, true, 0, 0, 0, 2, 1000}, {300, 0, 500, true, 0, 0, 0, 33, 500},
        {9600, 20, 0, true, 20, 1, 20, 0, 0},    {115200, 5, 5, true, 5, 1, 5, 1, 5},
        {1248, 0, 100, true, 0, 0, 0, 8, 100},   {9600, 0, 0, false, 0, 0, 0, 0, 0},
    };
    for (const Row& r : rows) {
        TCommTimeouts t;
        EXPECT_EQ(ComputeTimeouts(r.baud, r.rec, r.trm, t), r.set) << r.baud;
        if (!r.set) continue;
        EXPECT_EQ(t.ReadIntervalTimeout, r.interval) << r.baud;
        EXPECT_EQ(t.ReadTotalTimeoutMultiplier, r.readMul) << r.baud;
        EXPECT_EQ(t.ReadTotalTimeoutConstant, r.readConst) << r.baud;
        EXPECT_EQ(t.WriteTotalTimeoutMultiplier, r.writeMul) << r.baud;
        EXPECT_EQ(t.WriteTotalTimeoutConstant, r.writeConst) << r.baud;
    }
}

}  // namespace

// The 91-character settings text: any bytes are read without fault, and a text that reads as
// valid is written back as a text that reads to the same record.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/FuzzCheck.h"
#include "serial/Serial.h"

namespace {

// Written, read and written again: the second text equals the first.
void CheckWrittenTextReadsBack(const TSerial& serial, const TSerialSettings& s) {
    QByteArray text;
    serial.SettingsToText(s, text);
    FUZZ_CHECK(text.size() == 91);
    FUZZ_CHECK(text.startsWith("RRS0"));
    TSerialSettings back;
    serial.TextToSettings(text, back);
    FUZZ_CHECK(back.Valid);
    QByteArray again;
    serial.SettingsToText(back, again);
    FUZZ_CHECK(again == text);
}

template <typename E>
E Enum(FuzzedDataProvider& in, E last) {
    return E(in.ConsumeIntegralInRange<int>(0, int(last)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TSerial serial;  // no port is opened: the text functions only read its fields
    const QByteArray text(reinterpret_cast<const char*>(data), qsizetype(size));

    TSerialSettings read;
    serial.TextToSettings(text, read);
    if (read.Valid) CheckWrittenTextReadsBack(serial, read);
    // The fields lie behind the checksum: the same text with its checksum made right
    // reaches them.
    if (text.size() >= 91) {
        quint8 x = 0;
        for (int i = 0; i < 88; ++i) x ^= quint8(text[i]);
        const QByteArray fixed = text.left(88) + QByteArray::number(x).rightJustified(3, '0');
        serial.TextToSettings(fixed, read);
        if (read.Valid) CheckWrittenTextReadsBack(serial, read);
    }

    // The same bytes as a record with any numbers and characters.
    FuzzedDataProvider in(data, size);
    TSerialSettings s;
    s.Valid = true;
    s.COMPort = in.ConsumeIntegral<qint32>();
    s.Baudrate = Enum(in, br_921600);
    s.DataBits = Enum(in, db_8);
    s.ParityBit = Enum(in, space);
    s.StopBits = Enum(in, sb_2);
    s.BufSizeTrm = in.ConsumeIntegral<qint32>();
    s.BufSizeRec = in.ConsumeIntegral<qint32>();
    s.HandshakeRtsCts = in.ConsumeBool();
    s.HandshakeDtrDsr = in.ConsumeBool();
    s.HandshakeXOnXOff = in.ConsumeBool();
    s.RTSActive = in.ConsumeBool();
    s.DTRActive = in.ConsumeBool();
    s.XOnChar = in.ConsumeIntegral<char>();
    s.XOffChar = in.ConsumeIntegral<char>();
    s.XOffLimit = in.ConsumeIntegral<qint32>();
    s.XOnLimit = in.ConsumeIntegral<qint32>();
    s.ErrorChar = in.ConsumeIntegral<char>();
    s.EofChar = in.ConsumeIntegral<char>();
    s.EventChar = in.ConsumeIntegral<char>();
    s.ContinueOnXOff = in.ConsumeBool();
    s.UseErrorChar = in.ConsumeBool();
    s.EliminateNullChar = in.ConsumeBool();
    s.AbortOnError = in.ConsumeBool();
    s.RecTimeOut = in.ConsumeIntegral<qint32>();
    s.TrmTimeOut = in.ConsumeIntegral<qint32>();
    CheckWrittenTextReadsBack(serial, s);
    return 0;
}

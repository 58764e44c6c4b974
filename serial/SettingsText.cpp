// The settings record and its 91-character text.
#include <algorithm>

#include "serial/Serial.h"

namespace {

constexpr int TextLength = 91;
constexpr int WorkArea = 128;
constexpr int ChecksumPos = 88;

// Integer syntax of the run-time: leading blanks, a sign, decimal digits, or hexadecimal
// after "$", "x", "X", "0x" or "0X"; nothing after the digits; must fit 32 bits.
bool ParseNumber(const QByteArray& s, qint32& value) {
    int i = 0;
    const int n = int(s.size());
    while (i < n && s[i] == ' ') ++i;
    bool negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    int base = 10;
    if (i < n && (s[i] == '$' || s[i] == 'x' || s[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < n && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= n) return false;
    quint64 v = 0;
    for (; i < n; ++i) {
        const char c = s[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * quint64(base) + quint64(d);
        if (v > 0xFFFFFFFFull) return false;
    }
    if (base == 10) {
        if (v > (negative ? 0x80000000ull : 0x7FFFFFFFull)) return false;
        value = negative ? qint32(-qint64(v)) : qint32(v);
    } else {
        // Hexadecimal fills all 32 bits ($FFFFFFFF is -1); a sign negates them modulo 2^32,
        // so "-$80000000" is the lowest value instead of an overflow.
        const quint32 bits = quint32(v);
        value = qint32(negative ? 0u - bits : bits);
    }
    return true;
}

// Right-aligned, "0"-filled to width, cut to its first width characters when longer.
QByteArray Field(qint64 v, int width) {
    QByteArray digits = QByteArray::number(v < 0 ? -v : v);
    const int room = v < 0 ? width - 1 : width;
    if (digits.size() < room) digits.prepend(QByteArray(room - digits.size(), '0'));
    if (v < 0) digits.prepend('-');
    return digits.left(width);
}

QByteArray CharField(char c) { return Field(static_cast<unsigned char>(c), 3); }

quint8 Checksum(const char* area) {
    quint8 x = 0;
    for (int i = 0; i < ChecksumPos; ++i) x ^= static_cast<quint8>(area[i]);
    return x;
}

}  // namespace

void TSerial::GetSettings(TSerialSettings& s) const {
    s.Valid = true;
    s.COMPort = FCOMPort;
    s.Baudrate = FBaudrate;
    s.DataBits = FDataBits;
    s.ParityBit = FParityBit;
    s.StopBits = FStopBits;
    s.BufSizeTrm = FBufSizeTrm;
    s.BufSizeRec = FBufSizeRec;
    s.HandshakeRtsCts = FHandshakeRtsCts;
    s.HandshakeDtrDsr = FHandshakeDtrDsr;
    s.HandshakeXOnXOff = FHandshakeXOnXOff;
    s.RTSActive = FRTSActive;
    s.DTRActive = FDTRActive;
    s.XOnChar = FXOnChar;
    s.XOffChar = FXOffChar;
    s.XOffLimit = FXOffLimit;
    s.XOnLimit = FXOnLimit;
    s.ErrorChar = FErrorChar;
    s.EofChar = FEofChar;
    s.EventChar = FEventChar;
    s.ContinueOnXOff = FContinueOnXOff;
    s.UseErrorChar = FUseErrorChar;
    s.EliminateNullChar = FEliminateNullChar;
    s.AbortOnError = FAbortOnError;
    s.RecTimeOut = FRecTimeOut;
    s.TrmTimeOut = FTrmTimeOut;
}

void TSerial::SetSettings(const TSerialSettings& s) {
    if (!s.Valid) return;
    SetCOMPort(s.COMPort);
    SetBaudrate(s.Baudrate);  // out-of-range values keep the setting
    SetDataBits(s.DataBits);
    SetParityBit(s.ParityBit);
    SetStopBits(s.StopBits);
    SetBufSizeTrm(s.BufSizeTrm);
    SetBufSizeRec(s.BufSizeRec);
    SetHandshakeRtsCts(s.HandshakeRtsCts);
    SetHandshakeDtrDsr(s.HandshakeDtrDsr);
    SetHandshakeXOnXOff(s.HandshakeXOnXOff);
    SetRTSActive(s.RTSActive);
    SetDTRActive(s.DTRActive);
    SetXOnChar(s.XOnChar);
    SetXOffChar(s.XOffChar);
    SetXOffLimit(s.XOffLimit);
    SetXOnLimit(s.XOnLimit);
    SetErrorChar(s.ErrorChar);
    SetEofChar(s.EofChar);
    SetEventChar(s.EventChar);
    SetContinueOnXOff(s.ContinueOnXOff);
    SetUseErrorChar(s.UseErrorChar);
    SetEliminateNullChar(s.EliminateNullChar);
    SetAbortOnError(s.AbortOnError);
    SetRecTimeOut(s.RecTimeOut);
    SetTrmTimeOut(s.TrmTimeOut);
}

void TSerial::SettingsToText(const TSerialSettings& s, QByteArray& text) const {
    text.clear();
    if (!s.Valid) return;
    QByteArray t = "RRS0";
    t += Field(s.COMPort, 3);
    t += Field(s.Baudrate, 2);
    t += Field(s.DataBits, 1);
    t += Field(s.ParityBit, 1);
    t += Field(s.StopBits, 1);
    t += Field(s.BufSizeTrm, 8);
    t += Field(s.BufSizeRec, 8);
    t += Field(s.HandshakeRtsCts, 1);
    t += Field(s.HandshakeDtrDsr, 1);
    t += Field(s.HandshakeXOnXOff, 1);
    t += Field(s.RTSActive, 1);
    t += Field(s.DTRActive, 1);
    t += CharField(s.XOnChar);
    t += CharField(s.XOffChar);
    t += Field(s.XOffLimit, 8);
    t += Field(s.XOnLimit, 8);
    t += CharField(s.ErrorChar);
    t += CharField(s.EofChar);
    t += CharField(s.EventChar);
    t += Field(s.ContinueOnXOff, 1);
    t += Field(s.UseErrorChar, 1);
    t += Field(s.EliminateNullChar, 1);
    t += Field(s.AbortOnError, 1);
    t += Field(s.RecTimeOut, 10);
    t += Field(s.TrmTimeOut, 10);
    t += Field(Checksum(t.constData()), 3);
    text = t;
}

void TSerial::TextToSettings(const QByteArray& text, TSerialSettings& s) const {
    GetSettings(s);
    s.Valid = false;
    if (text.size() <= 4) return;
    char area[WorkArea] = {};
    // The text ends at its first zero byte, as a text read from a settings file does: what
    // follows a NUL is not looked at, neither by the windows nor by the checksum.
    const size_t length = qstrnlen(text.constData(), size_t(WorkArea - 1));
    std::copy_n(text.constData(), std::min<qsizetype>(text.size(), qsizetype(length)), area);
    // A window holds the characters up to the end of the text.
    auto window = [&](int pos, int width) {
        return QByteArray(area + pos, int(qstrnlen(area + pos, size_t(width))));
    };
    qint32 v = 0;
    auto number = [&](int pos, int width) { return ParseNumber(window(pos, width), v); };
    auto flag = [&](int pos, bool& field) {
        if (!number(pos, 1)) return false;
        field = v > 0;
        return true;
    };
    auto character = [&](int pos, char& field) {
        if (number(pos, 3)) field = char(quint8(v));  // no validity test: else unchanged
    };

    if (window(0, 4) != "RRS0") return;
    if (!number(ChecksumPos, 3) || v != Checksum(area)) return;
    if (!number(4, 3)) return;
    s.COMPort = v;
    if (!number(7, 2) || v < 0 || v >= BaudRateCount) return;
    s.Baudrate = TBaudrate(v);
    if (!number(9, 1) || v < 0 || v > db_8) return;
    s.DataBits = TDataBits(v);
    if (!number(10, 1) || v < 0 || v > space) return;
    s.ParityBit = TParityBit(v);
    if (!number(11, 1) || v < 0 || v > sb_2) return;
    s.StopBits = TStopBits(v);
    if (!number(12, 8)) return;
    s.BufSizeTrm = v;
    if (!number(20, 8)) return;
    s.BufSizeRec = v;
    if (!flag(28, s.HandshakeRtsCts) || !flag(29, s.HandshakeDtrDsr) ||
        !flag(30, s.HandshakeXOnXOff) || !flag(31, s.RTSActive) || !flag(32, s.DTRActive))
        return;
    character(33, s.XOnChar);
    character(36, s.XOffChar);
    if (!number(39, 8)) return;
    s.XOffLimit = v;
    if (!number(47, 8)) return;
    s.XOnLimit = v;
    character(55, s.ErrorChar);
    character(58, s.EofChar);
    character(61, s.EventChar);
    if (!flag(64, s.ContinueOnXOff) || !flag(65, s.UseErrorChar) ||
        !flag(66, s.EliminateNullChar) || !flag(67, s.AbortOnError))
        return;
    if (!number(68, 10)) return;
    s.RecTimeOut = v;
    if (!number(78, 10)) return;
    s.TrmTimeOut = v;
    static_assert(TextLength == ChecksumPos + 3);
    s.Valid = true;
}

// Config.ini: the line rules, the start-up read through a file, and the file the options
// window writes, read back value by value.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <algorithm>

#include "config/ConfigFile.h"
#include "config/ConfigValues.h"
#include "config/Konfig.h"
#include "fuzz/FuzzCheck.h"

namespace {

// The options window edits the first 15 lines and carries the rest unchanged.
constexpr int kWindowLines = 15;

bool HasLineEnd(const QByteArray& text) {
    return text.contains('\r') || text.contains('\n') || text.contains('\x1a');
}

void CheckLineRules(const QList<QByteArray>& lines) {
    for (const QByteArray& line : lines) {
        FUZZ_CHECK(!HasLineEnd(line));
        const QByteArray key = ConfigFile::LineKey(line);
        const QByteArray value = ConfigLines::LineValue(line);
        FUZZ_CHECK(key + value == line);
        FUZZ_CHECK(key.isEmpty() ? !line.contains('=') : key.indexOf('=') == key.size() - 1);
        FUZZ_CHECK(ConfigLines::LineValue(ConfigFile::ComposeLine(key, value)) == value);
    }
}

// The start-up read of the content as a file: UTF-8 content is read as such.
void CheckStartupRead(const QByteArray& content) {
    const ConfigFile::TEncoding encoding = ConfigFile::DetectEncoding(content);
    const QByteArray text = ConfigFile::Decode(content, encoding);
    FUZZ_CHECK(ConfigFile::Decode(ConfigFile::Encode(text, encoding), encoding) == text);
    const QList<QByteArray> lines = ConfigLines::SplitLines(text);
    static QTemporaryDir dir;
    static const QString path = dir.filePath(QStringLiteral("Config.ini"));
    // A new file each time: truncating one on ext4 makes close() flush it to the disk.
    static const QByteArray native = path.toLocal8Bit();
    ::unlink(native.constData());
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(::write(fd, content.constData(), size_t(content.size())) == content.size());
    ::close(fd);

    int replaced = 0, appended = 0;
    TKonfiguration konfig(
        nullptr, {[&](const QByteArray&) { ++replaced; }, [&](const QByteArray&) { ++appended; }});
    ConfigFileName = path;
    ConfigValues = {};
    FUZZ_CHECK(konfig.ReadConfigFile());

    const int total = int(lines.size());
    const int kept = std::max(1, std::min(total, StartupMaxLines));
    const int notes = (ConfigFile::EncodingNote(encoding).isEmpty() ? 0 : 1) +
                      (ConfigFile::TrailingBlanksNote(ConfigValues, kept).isEmpty() ? 0 : 1);
    FUZZ_CHECK(replaced == 1);
    FUZZ_CHECK(appended == 2 * (kept - 1) + (total > StartupMaxLines ? 1 : 0) + notes);
    FUZZ_CHECK(ConfigValues[1].isEmpty());
    for (int j = 2; j < ConfigSlotCount; ++j) {
        FUZZ_CHECK(ConfigValues[j] == (j <= kept ? ConfigLines::LineValue(lines[j - 1]) : ""));
    }
}

// What the options window saves after loading these lines and editing some values: read
// again, every written value stands on its line and the carried lines follow unchanged.
void CheckSavedFile(const QList<QByteArray>& lines, FuzzedDataProvider& in) {
    if (lines.size() < 2) return;  // the window saves only a loaded file of two lines or more
    const int linesRead = std::min(int(lines.size()), kWindowLines);
    std::array<QByteArray, 21> keys, values;
    for (int k = 2; k <= linesRead; ++k) {
        keys[k] = ConfigFile::LineKey(lines[k - 1]);
        values[k] = ConfigLines::LineValue(lines[k - 1]);
    }
    for (int k = 2; k <= 13; ++k) {
        if (in.ConsumeBool()) {
            const std::string edited = in.ConsumeRandomLengthString(64);
            values[k] = QByteArray(edited.data(), qsizetype(edited.size()));
        }
    }
    const QByteArray path = QByteArray::fromStdString(in.ConsumeRandomLengthString(64));
    const QList<QByteArray> carried = lines.mid(kWindowLines);

    const QByteArray file = ConfigFile::Compose(path, keys, values, linesRead, carried);
    FUZZ_CHECK(file.endsWith("\r\n"));
    const QList<QByteArray> back = ConfigLines::SplitLines(file);
    FUZZ_CHECK(back.size() >= linesRead);
    const int written = int(back.size() - carried.size());
    FUZZ_CHECK(written >= linesRead && written <= std::max(linesRead, 13));
    FUZZ_CHECK(back[0] == ConfigFile::HeaderLine(ConfigFile::OneLine(path), int(back.size())));
    for (int k = 2; k <= written; ++k) {
        FUZZ_CHECK(ConfigLines::LineValue(back[k - 1]) == ConfigFile::OneLine(values[k]));
        if (!keys[k].isEmpty()) FUZZ_CHECK(ConfigFile::LineKey(back[k - 1]) == keys[k]);
    }
    for (int k = written + 1; k <= 13; ++k) FUZZ_CHECK(values[k].isEmpty());
    FUZZ_CHECK(back.mid(written) == carried);
}

void CheckDwell(const QByteArray& text) {
    int ms = -1;
    const bool ok = ConfigFile::DwellMs(text, &ms);
    const QByteArray digits = text.trimmed();
    const bool allDigits =
        !digits.isEmpty() &&
        std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!ok) {
        FUZZ_CHECK(ms == 0);
        // Only a number too large for an int is refused among whole numbers.
        if (allDigits) FUZZ_CHECK(digits.size() > 9);
        return;
    }
    FUZZ_CHECK(allDigits && ms >= 0);
    qsizetype zeros = 0;
    while (zeros + 1 < digits.size() && digits[zeros] == '0') ++zeros;
    FUZZ_CHECK(QByteArray::number(ms) == digits.mid(zeros));
}

void CheckBackupPath(const QByteArray& bytes) {
    const QString path = QString::fromLatin1(bytes);
    const QString backup = ConfigFile::BackupPath(path);
    FUZZ_CHECK(backup.endsWith(QStringLiteral(".bak")));
    const qsizetype slash = path.lastIndexOf('/');
    FUZZ_CHECK(backup.left(slash + 1) == path.left(slash + 1));
    FUZZ_CHECK(backup.lastIndexOf('/') == slash);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray content(reinterpret_cast<const char*>(data), qsizetype(size));
    const QList<QByteArray> lines = ConfigLines::SplitLines(content);
    CheckLineRules(lines);
    CheckStartupRead(content);
    FuzzedDataProvider in(data, size);
    CheckSavedFile(lines, in);
    for (const QByteArray& line : lines.mid(0, 16)) CheckDwell(ConfigLines::LineValue(line));
    CheckBackupPath(content.left(256));
    return 0;
}

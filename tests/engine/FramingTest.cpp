// The framing as a property: however the line splits a stream into reads, the same
// transmissions come out. All splits of the short streams, all splits into two and three
// reads and seeded random ones of the long ones; a failure prints the stream, the seed and
// the split.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "engine/Framing.h"

namespace {

using Kind = TTransmission::Kind;

struct Out {
    Kind kind;
    QByteArray text;
    bool cut = false;
    bool follows = false;  // sent in one go with the one before
    bool operator==(const Out& o) const {
        return kind == o.kind && text == o.text && cut == o.cut && follows == o.follows;
    }
};

void PrintTo(const Out& o, std::ostream* os) {
    *os << "[" << int(o.kind) << (o.cut ? " cut" : "") << (o.follows ? " follows " : " ")
        << QByteArray(o.text).replace('\r', "\\r").replace('\n', "\\n").toStdString() << "]";
}

// A stream: parts the device loss separates; reads split each part where `cuts` says
// (positions counted over the whole stream, parts joined).
struct Stream {
    const char* name;
    std::vector<QByteArray> parts;
    std::vector<Out> expected;
};

// pause: the time before the read that begins at a position (a millisecond unless given).
std::vector<Out> Feed(const Stream& s, const std::vector<size_t>& cuts,
                      const std::function<qint64(size_t at)>& pause = {}) {
    TFraming f;
    f.SetProgramIdentifier("Prg");
    f.SetTimes(5000, TFraming::kTrailerMs);
    qint64 now = 1000;
    size_t at = 0, cut = 0;
    for (size_t p = 0; p < s.parts.size(); ++p) {
        if (p > 0) f.Cut(now);
        const QByteArray& part = s.parts[p];
        size_t from = 0;
        while (from < size_t(part.size())) {
            size_t to = part.size();
            while (cut < cuts.size() && cuts[cut] <= at + from) ++cut;
            if (cut < cuts.size() && cuts[cut] < at + to) to = cuts[cut] - at;
            f.Feed(QByteArrayView(part).sliced(qsizetype(from), qsizetype(to - from)), now);
            // Reads a millisecond apart: far below any time the rules use.
            now += pause ? pause(at + to) : 1;
            from = to;
        }
        at += part.size();
    }
    f.Tick(now + 3600 * 1000);
    std::vector<Out> outs;
    while (auto t = f.Next()) outs.push_back({t->kind, t->Text, t->Cut, t->Follows});
    return outs;
}

std::string Split(const std::vector<size_t>& cuts) {
    std::string s;
    for (size_t c : cuts) s += std::to_string(c) + " ";
    return s;
}

const QByteArray kCall = "%Prg\r\nO2507\r\nM30\r\n";
const QByteArray kIso =
    QByteArray("\0\0\x12", 3) + "%\nO1234 (DFS,ISO1,)\nN10 G0 X0\nM30\n%\x14" + QByteArray(4, '\0');
const QByteArray kIsoSaved = "%\nO1234 (DFS,ISO1,)\nN10 G0 X0\nM30\n%";
const QByteArray kA = "%\r\n(DFS,A,)\r\nN1 X1\r\nM30\r\n";
const QByteArray kB = "%\r\n(DFS,B,)\r\nN1 X2\r\nM30\r\n";
const QByteArray kSub = "%\r\n(DFS,SUB1,)\r\nO9001\r\nG65 P9002\r\nM99\r\n%";
const QByteArray kMacro =
    "%\nO9002 (DFS,MAC,)\nIF [#1 EQ 0] GOTO 99\n#100=#1*2\nM99\nN99 #100=0\nM99\n%";
const QByteArray kThread =
    "%\r\n(DFS,GEW,)\r\nN10 (GEWINDEBOHRER M30X2)\r\nN20 G84 Z-10 F2\r\nM30\r\n";
const QByteArray kHead = "%\r\n(DFS,HALB,)\r\nN10 G1 X5\r\nN2";
const QByteArray kTail = "0 G1 Y5\r\nM30\r\n";

const QByteArray kFanucAll = QByteArray("\0\0\x12", 3) +
                             "%\nO0001 (WELLE)\nN10 G0 X0\nM30\nO0002 (UP)\nN10 G1 X1\nM99\n"
                             "O0003\nN10 G0 Z5 M2\nO0004\nN10 Z9\nM30\n%\x14" +
                             QByteArray(3, '\0');
const QByteArray kHaas = "\x12%\r\nO01234 (FLANSCH)\r\nN10 G0 X0\r\nM30\r\n%\r\n";
const QByteArray kHeidenhain =
    "0 BEGIN PGM 4711 MM\r\n1 BLK FORM 0.1 Z X+0 Y+0 Z-20\r\n2 L Z+100 R0 FMAX M30\r\n"
    "3 L X+0 M2\r\n4 END PGM 4711 MM\r\n";
const QByteArray kHeidenhain2 = "0 BEGIN PGM 4712 MM\r\n1 END PGM 4712 MM\r\n";
const QByteArray kHeidenhainIso =
    "%4711 G71 *\r\nN10 G00 Z+100 *\r\nN20 M30 *\r\nN99999999 %4711 G71 *\r\n";
const QByteArray kSinumerikAll =
    "%_N_TEIL1_MPF\n;$PATH=/_N_MPF_DIR\nN10 G0 X0 ; nicht M30\nM30\n"
    "%_N_UP1_SPF\n;$PATH=/_N_SPF_DIR\nN10 G1 X1\nM17\n"
    "%_N_UP2_SPF\n;$PATH=/_N_SPF_DIR\nN10 G1 X2\nRET\n"
    "%_N_DATEN_INI\nR1=5\n%_N_TEIL2_MPF\nN10 G0 Z5\nM30\n";
const QByteArray kOkumaAll =
    "$TEIL1.MIN%\r\nN1 G0 X0\r\nM02\r\n$UP1.SSB%\r\nN1 G1 X1\r\nRTS\r\n"
    "$TEIL2.MIN%\r\nN1 G0 Z5\r\nM02\r\n%%";
const QByteArray kTapeEndThenProgram = "%\r\nO0001\r\nN1 X1\r\nM30\r\n";

const std::vector<Stream>& Streams() {
    static const std::vector<Stream> streams = {
        {"LF call", {"%Prg\nO2507\nM30\n"}, {{Kind::Complete, "%Prg\nO2507\nM30\n"}}},
        {"CR call", {"%Prg\rO2507\rM30\r"}, {{Kind::Complete, "%Prg\rO2507\rM30\r"}}},
        {"glitch then call", {"\xff" + kCall}, {{Kind::Complete, kCall}}},
        {"end word without line end",
         {"%Prg\r\nO2507\r\nM30"},
         {{Kind::Complete, "%Prg\r\nO2507\r\nM30"}}},
        {"ISO program with tape end and trailer, then a call",
         {kIso + "%Prg\nO2507\nM30\n%\x14"},
         {{Kind::Complete, kIsoSaved}, {Kind::Complete, "%Prg\nO2507\nM30\n", false, true}}},
        {"two CR LF programs back to back: the % line between them belongs to both",
         {kA + kB},
         {{Kind::Complete, kA + "%"}, {Kind::Complete, kB, false, true}}},
        {"M99 subprogram with its % line, then a call",
         {kSub + "\r\n" + kCall},
         {{Kind::Complete, kSub}, {Kind::Complete, kCall, false, true}}},
        {"macro with two M99", {kMacro + "\n"}, {{Kind::Complete, kMacro}}},
        {"two calls",
         {kCall + kCall},
         {{Kind::Complete, kCall}, {Kind::Complete, kCall, false, true}}},
        {"end word in a comment", {kThread}, {{Kind::Complete, kThread}}},
        {"a program, its tape end, at once a call",
         {kA + "%" + kCall},
         {{Kind::Complete, kA + "%"}, {Kind::Complete, kCall, false, true}}},
        {"a program, then at once a call",
         {kA + kCall},
         {{Kind::Complete, kA}, {Kind::Complete, kCall, false, true}}},
        {"cut by a device loss", {kHead, kTail}, {{Kind::Incomplete, kHead + kTail, true}}},
        {"cut, then the control starts anew with a call",
         {kHead, QByteArray("\0\0", 2) + kCall},
         {{Kind::Incomplete, kHead, true}, {Kind::Complete, kCall}}},
        {"no end: the quiet time", {"\r\nN10 G0 X0"}, {{Kind::Incomplete, "N10 G0 X0"}}},
        {"Fanuc punch-all with an M99 subprogram",
         {kFanucAll},
         {{Kind::Complete, "%\nO0001 (WELLE)\nN10 G0 X0\nM30\n"},
          {Kind::Complete, "O0002 (UP)\nN10 G1 X1\nM99\n", false, true},
          {Kind::Complete, "O0003\nN10 G0 Z5 M2\n", false, true},
          {Kind::Complete, "O0004\nN10 Z9\nM30\n%", false, true}}},
        {"Fanuc 30i names after a subprogram",
         {"%\n<WELLE_LINKS_2>\nN10 G0 X0\nM99\n\n<WELLE_RECHTS>\nN10 X1\nM30\n%"},
         {{Kind::Complete, "%\n<WELLE_LINKS_2>\nN10 G0 X0\nM99\n\n"},
          {Kind::Complete, "<WELLE_RECHTS>\nN10 X1\nM30\n%", false, true}}},
        {"Haas with DC codes: a tape end with its line end, then DC4",
         {kHaas + "\x14"},
         {{Kind::Complete, kHaas.sliced(1).chopped(2)}}},
        {"Heidenhain: M30 is a block, END PGM ends, ETX and EOT are its trailer",
         {kHeidenhain + "\x03\x04" + kHeidenhain2 + "\x03"},
         {{Kind::Complete, kHeidenhain}, {Kind::Complete, kHeidenhain2, false, true}}},
        {"Heidenhain ISO program ends at its N99999999 line",
         {kHeidenhainIso + "\x03"},
         {{Kind::Complete, kHeidenhainIso}}},
        {"Sinumerik files, each at its %_N_ header",
         {kSinumerikAll},
         {{Kind::Complete, "%_N_TEIL1_MPF\n;$PATH=/_N_MPF_DIR\nN10 G0 X0 ; nicht M30\nM30\n"},
          {Kind::Complete, "%_N_UP1_SPF\n;$PATH=/_N_SPF_DIR\nN10 G1 X1\nM17\n", false, true},
          {Kind::Complete, "%_N_UP2_SPF\n;$PATH=/_N_SPF_DIR\nN10 G1 X2\nRET\n", false, true},
          {Kind::Complete, "%_N_DATEN_INI\nR1=5\n", false, true},
          {Kind::Complete, "%_N_TEIL2_MPF\nN10 G0 Z5\nM30\n", false, true}}},
        {"Okuma files, then %% after the last",
         {kOkumaAll},
         {{Kind::Complete, "$TEIL1.MIN%\r\nN1 G0 X0\r\nM02\r\n"},
          {Kind::Complete, "$UP1.SSB%\r\nN1 G1 X1\r\nRTS\r\n", false, true},
          {Kind::Complete, "$TEIL2.MIN%\r\nN1 G0 Z5\r\nM02\r\n%%", false, true}}},
        {"Okuma files, %%, at once a call",
         {kOkumaAll + kCall},
         {{Kind::Complete, "$TEIL1.MIN%\r\nN1 G0 X0\r\nM02\r\n"},
          {Kind::Complete, "$UP1.SSB%\r\nN1 G1 X1\r\nRTS\r\n", false, true},
          {Kind::Complete, "$TEIL2.MIN%\r\nN1 G0 Z5\r\nM02\r\n%%", false, true},
          {Kind::Complete, kCall, false, true}}},
        {"Okuma: a call, its tape end, at once the next file",
         {kCall + "%$TEIL4.MIN%\r\nM02\r\n%"},
         {{Kind::Complete, kCall}, {Kind::Complete, "$TEIL4.MIN%\r\nM02\r\n%", false, true}}},
        {"Okuma: a subprogram's %% line",
         {"$UP2.SSB%\r\nN1 X1\r\nRTS\r\n%%\r\n"},
         {{Kind::Complete, "$UP2.SSB%\r\nN1 X1\r\nRTS\r\n%%"}}},
        {"a call, its tape end with its line end, then a program",
         {kCall + kTapeEndThenProgram},
         {{Kind::Complete, kCall}, {Kind::Complete, kTapeEndThenProgram, false, true}}},
        {"no letter or digit: dropped", {"\x12....\r\n--"}, {{Kind::Dropped, "....\r\n--"}}},
    };
    return streams;
}

void Check(const Stream& s, const std::vector<size_t>& cuts, const std::string& how) {
    const std::vector<Out> got = Feed(s, cuts);
    ASSERT_EQ(got, s.expected) << s.name << ", " << how << ", reads split at " << Split(cuts);
}

}  // namespace

TEST(Framing, EverySplitOfAStreamGivesTheSameTransmissions) {
    const unsigned seed = std::random_device()();
    std::mt19937 random(seed);
    for (const Stream& s : Streams()) {
        size_t n = 0;
        for (const QByteArray& p : s.parts) n += p.size();
        Check(s, {}, "one read");
        if (n <= 18) {
            // Every split: each of the n-1 gaps is a read boundary or not.
            for (unsigned mask = 0; mask < (1u << (n - 1)); ++mask) {
                std::vector<size_t> cuts;
                for (size_t i = 1; i < n; ++i)
                    if (mask & (1u << (i - 1))) cuts.push_back(i);
                Check(s, cuts, "all splits");
                if (HasFatalFailure()) return;
            }
            continue;
        }
        for (size_t i = 1; i < n; ++i) {
            for (size_t j = i; j < n; ++j) {
                Check(s, i == j ? std::vector<size_t>{i} : std::vector<size_t>{i, j},
                      "two and three reads");
                if (HasFatalFailure()) return;
            }
        }
        for (int round = 0; round < 300; ++round) {
            std::vector<size_t> cuts;
            const double p = std::uniform_real_distribution<double>(0.05, 0.9)(random);
            for (size_t i = 1; i < n; ++i)
                if (std::bernoulli_distribution(p)(random)) cuts.push_back(i);
            Check(s, cuts, "random reads, seed " + std::to_string(seed));
            if (HasFatalFailure()) return;
        }
    }
}

// Under load a control's bytes are read late and in lumps: whatever the pauses between reads
// (below the quiet time), the program after a call's tape end begins with its "%", and an
// Okuma header after it without. (Pauses within an end line are left out: its end word and
// line end come together from a control.)
TEST(Framing, WhatFollowsACallsTapeEndIsTheSameHoweverLateItIsRead) {
    const unsigned seed = std::random_device()();
    std::mt19937 random(seed);
    const std::vector<Stream> streams = {
        {"call, tape end, program",
         {kCall + kTapeEndThenProgram + "\x14"},
         {{Kind::Complete, kCall}, {Kind::Complete, kTapeEndThenProgram}}},
        {"call, tape end, Okuma file",
         {kCall + "%$TEIL4.MIN%\r\nM02\r\n\x13"},
         {{Kind::Complete, kCall}, {Kind::Complete, "$TEIL4.MIN%\r\nM02\r\n"}}},
    };
    for (const Stream& s : streams) {
        const QByteArray& stream = s.parts[0];
        const auto inEndLine = [&](size_t at) {
            for (const char* word : {"M30", "M02"}) {
                for (qsizetype w = stream.indexOf(word); w >= 0; w = stream.indexOf(word, w + 1))
                    if (qsizetype(at) > w && qsizetype(at) <= w + 5) return true;
            }
            return false;
        };
        for (int round = 0; round < 1000; ++round) {
            std::vector<size_t> cuts;
            for (size_t i = 1; i < size_t(stream.size()); ++i)
                if (std::bernoulli_distribution(0.3)(random)) cuts.push_back(i);
            std::vector<Out> got = Feed(s, cuts, [&](size_t at) -> qint64 {
                return inEndLine(at) ? 1 : std::uniform_int_distribution<qint64>(0, 4000)(random);
            });
            for (Out& o : got) o.follows = false;  // pauses tell whether it followed at once
            ASSERT_EQ(got, s.expected)
                << s.name << ", seed " << seed << ", reads split at " << Split(cuts);
        }
    }
}

TEST(Framing, OnlyTimeTellsATapeEndFromTheNextTransmission) {
    TFraming f;
    f.SetProgramIdentifier("Prg");
    f.SetTimes(5000, 500);
    // A lone "%" within the trailer time after the end line: the program's tape end.
    f.Feed("N1 X1\nM30\n", 0);
    EXPECT_FALSE(f.Next()) << "a program waits for its tape end";
    EXPECT_TRUE(f.Settling());
    f.Feed("%", 400);
    f.Tick(499);
    EXPECT_FALSE(f.Next());
    f.Tick(500);
    auto t = f.Next();
    ASSERT_TRUE(t);
    EXPECT_EQ(t->Text, "N1 X1\nM30\n%");
    // The tape end may still begin what follows it, until the quiet time.
    EXPECT_EQ(f.Deadline(), 400 + 5000);
    f.Tick(5400);
    EXPECT_EQ(f.Deadline(), -1) << "nothing waits: no timer runs";

    // Later, the "%" begins the next transmission.
    f.Feed("N1 X1\nM30\n", 2000);
    f.Feed("%\r\n", 2600);
    t = f.Next();
    ASSERT_TRUE(t);
    EXPECT_EQ(t->Text, "N1 X1\nM30\n");
    f.Tick(2600 + 5000);
    t = f.Next();
    ASSERT_TRUE(t);
    EXPECT_EQ(t->kind, Kind::Dropped) << "a lone % with nothing after it";

    // A call does not wait; the tape end after it is its trailer.
    f.Feed("%Prg\nO2507\nM30\n", 9000);
    t = f.Next();
    ASSERT_TRUE(t);
    EXPECT_EQ(t->Text, "%Prg\nO2507\nM30\n");
    f.Feed("%\x14", 9010);
    f.Tick(20000);
    EXPECT_FALSE(f.Next());
}

TEST(Framing, ALongTransmissionComesInPiecesAndMemoryStaysBounded) {
    TFraming f;
    f.SetLimit(40);
    QByteArray all;
    for (int k = 0; k < 10; ++k) {
        const QByteArray line = "N" + QByteArray::number(k) + " G1 X100 Y200\r\n";
        f.Feed(line, k);
        all += line;
        EXPECT_LE(f.Held().size(), 40);
    }
    f.Feed("M30\r\n", 20);
    all += "M30\r\n";
    f.Tick(10000);
    QByteArray joined;
    int pieces = 0;
    while (auto t = f.Next()) {
        joined += t->Text;
        if (t->kind == Kind::Piece) {
            ++pieces;
            continue;
        }
        EXPECT_EQ(t->kind, Kind::Complete);
        EXPECT_TRUE(t->Spilled);
    }
    EXPECT_GT(pieces, 1);
    EXPECT_EQ(joined, all);
}

TEST(Framing, EndWordsOutsideCommentsEndTheirLine) {
    struct Row {
        const char* line;
        bool ends;
    } rows[] = {
        {"M30", true},         {"m30", true},
        {"N99 m02", true},     {"M300", true},
        {"M30 (ENDE)", true},  {"M20 M03", false},
        {"(M30)", false},      {"(GEWINDE M30X2) G84", false},
        {"(OFFEN M30", false}, {"M3 0", false},
    };
    for (const Row& r : rows) {
        TFraming f;
        f.SetTimes(5000, 500);
        f.Feed(QByteArray("N1 G0\r\n") + r.line + "\r\n", 0);
        f.Tick(1000);  // past the trailer time, well before the quiet time
        auto t = f.Next();
        EXPECT_EQ(t.has_value(), r.ends) << r.line;
        if (t) {
            EXPECT_EQ(t->kind, Kind::Complete) << r.line;
        }
    }
    // A lone CR ends the end line: the next block begins the next transmission.
    TFraming f;
    f.SetTimes(5000, 500);
    f.Feed("N1 M30\rN2 M30\r\n", 0);
    f.Tick(1000);
    EXPECT_EQ(f.Next()->Text, "N1 M30\r");
    EXPECT_EQ(f.Next()->Text, "N2 M30\r\n");
}

// A device that stays away longer than the quiet time (an adapter replugged): what follows its
// return still belongs to the cut transmission, and the quiet time runs from the return.
TEST(Framing, TheQuietTimeWaitsForALostDevice) {
    TFraming f;
    f.SetTimes(1000, 500);
    f.Feed(kHead, 0);
    f.Cut(100);
    EXPECT_EQ(f.Deadline(), -1) << "no timer runs while the device is away";
    f.Tick(60000);
    EXPECT_FALSE(f.Next());
    f.Resumed(60000);
    f.Tick(60999);
    EXPECT_FALSE(f.Next());
    f.Feed(kTail, 60500);
    f.Tick(62000);
    auto t = f.Next();
    ASSERT_TRUE(t);
    EXPECT_EQ(t->kind, Kind::Incomplete);
    EXPECT_TRUE(t->Cut);
    EXPECT_EQ(t->Text, kHead + kTail);

    // Back, and nothing more comes: the quiet time from the return ends it, whole.
    f.Feed(kHead, 70000);
    f.Cut(70100);
    f.Resumed(90000);
    f.Tick(90999);
    EXPECT_FALSE(f.Next());
    f.Tick(91000);
    t = f.Next();
    ASSERT_TRUE(t);
    EXPECT_EQ(t->kind, Kind::Incomplete);
    EXPECT_EQ(t->Text, kHead);
}

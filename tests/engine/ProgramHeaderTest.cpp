// The name a control writes in its program's header, as a table of cases: every family, hostile
// names in each header (refused, never a path), and headers that name nothing.
#include <gtest/gtest.h>

#include "engine/ProgramHeader.h"

namespace {

struct Row {
    const char* what;
    QByteArray text;
    QByteArray stem, ext;  // empty stem: no name
    bool refused = false;
};

const Row kRows[] = {
    {"Fanuc", "%\nO1234 (FLANSCH)\nN10 G0 X0\nM30\n%", "1234", ""},
    {"Fanuc without a blank before its comment", "%\r\nO0815(DECKEL)\r\nM30\r\n", "0815", ""},
    {"Haas: five digits, as written", "%\r\nO01234 (WELLE)\r\nM30\r\n%", "01234", ""},
    {"Fanuc 30i", "%\n<WELLE_LINKS_2>\nN10 G0 X0\nM30\n%", "WELLE_LINKS_2", ""},
    {"blank and comment lines before the header", "%\n\n(TEIL 1)\n  O0001\nM30\n", "0001", ""},
    {"Sinumerik main program", "%_N_TEIL1_MPF\n;$PATH=/_N_MPF_DIR\nM30\n", "TEIL1", "MPF"},
    {"Sinumerik subprogram", "%_N_TEIL_2_SPF ; Unterprogramm\nM17\n", "TEIL_2", "SPF"},
    {"Okuma", "$TEIL1.MIN%\r\nN1 G0 X0\r\nM02\r\n%", "TEIL1", "MIN"},
    {"Okuma without a type", "$TEIL1%\r\nM02\r\n", "TEIL1", ""},
    {"Heidenhain", "0 BEGIN PGM 4711 MM\r\n1 END PGM 4711 MM\r\n", "4711", "H"},
    {"Heidenhain, inch, without block number", "BEGIN PGM KONTUR.H INCH\r\n", "KONTUR", "H"},
    {"Heidenhain ISO", "%4711 G71 *\r\nN99999999 %4711 G71 *\r\n", "4711", "I"},

    {"Fanuc 30i: a path", "%\n<../../etc/passwd>\nM30\n", "../../etc/passwd", "", true},
    {"Fanuc 30i: a separator", "<A/B>\nM30\n", "A/B", "", true},
    {"Fanuc 30i: a control character",
     QByteArray("<A\x01"
                "B>\nM30\n"),
     "A\x01"
     "B",
     "", true},
    {"Fanuc 30i: a blank", "<WELLE LINKS>\nM30\n", "WELLE LINKS", "", true},
    {"Fanuc 30i: a hidden file", "<.profile>\nM30\n", ".profile", "", true},
    {"Fanuc 30i: too long", "<" + QByteArray(65, 'A') + ">\nM30\n", QByteArray(65, 'A'), "", true},
    {"Sinumerik: a path", "%_N_.._MPF\nM30\n", "..", "MPF", true},
    {"Okuma: the server's own files", "$Config.ini%\r\nM02\r\n", "Config", "ini", true},
    {"Okuma: its log", "$DNC.log%\r\nM02\r\n", "DNC", "log", true},
    {"Okuma: a separator", "$../x.MIN%\r\nM02\r\n", "../x", "MIN", true},
    {"Okuma: a dot before the extension", "$TEIL1.M..%\r\nM02\r\n", "TEIL1.M.", "", true},
    {"Heidenhain: a path", "0 BEGIN PGM ../4711 MM\r\n", "../4711", "H", true},

    {"no header", "%\nN10 G0 X0\nM30\n%", "", ""},
    {"a call", "%Prg\r\nO2507\r\nM30\r\n", "", ""},
    {"Fanuc 30i without its >", "%\n<WELLE\nM30\n", "", ""},
    {"Fanuc 30i: an empty name", "%\n<>\nM30\n", "", ""},
    {"Sinumerik without a type", "%_N_TEIL1\nM30\n", "", ""},
    {"Okuma without its %", "$TEIL1.MIN\r\nM02\r\n", "", ""},
    {"Heidenhain without a name", "0 BEGIN PGM  MM\r\n", "", ""},
    {"only % lines", "%\r\n%\r\n", "", ""},
};

}  // namespace

TEST(ProgramHeader, NamesEveryFamilyAndRefusesWhatNoControlWrites) {
    for (const Row& r : kRows) {
        const ProgramHeader::TName n = ProgramHeader::Find(r.text);
        EXPECT_EQ(n.Stem, r.stem) << r.what;
        EXPECT_EQ(n.Ext, r.ext) << r.what;
        EXPECT_EQ(!n.Refused.isEmpty(), r.refused) << r.what << ": " << n.Refused.constData();
    }
}

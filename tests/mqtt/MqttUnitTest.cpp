// The bridge's rules without I/O: the broker's address, topics and names, what a log entry
// tells, the names a program may have, the events held while the broker is away.
#include <gtest/gtest.h>

#include "common/ProgramFiles.h"
#include "mqtt/HeldEvents.h"
#include "mqtt/Topics.h"
#include "status/LogEntries.h"

TEST(BrokerUrl, HostPortAndTls) {
    const struct {
        const char* url;
        const char* host;
        int port;
        bool tls;
    } good[] = {{"mqtt://broker", "broker", 1883, false},
                {"mqtts://broker.werk.local:8884", "broker.werk.local", 8884, true},
                {"mqtt://127.0.0.1:1883/", "127.0.0.1", 1883, false},
                {"mqtts://[::1]", "::1", 8883, true},
                {"mqtt://[fe80::1]:2000", "fe80::1", 2000, false}};
    for (const auto& row : good) {
        const auto url = Topics::ParseBrokerUrl(QString::fromLatin1(row.url));
        ASSERT_TRUE(url) << row.url;
        EXPECT_EQ(url->host, QLatin1String(row.host)) << row.url;
        EXPECT_EQ(url->port, row.port) << row.url;
        EXPECT_EQ(url->tls, row.tls) << row.url;
    }
    for (const char* bad : {"broker:1883", "http://broker", "mqtt://", "mqtt://broker:0",
                            "mqtt://broker:70000", "mqtt://broker:x", "mqtt://::1", "mqtt://[::1",
                            "mqtt://user@broker", "mqtt://broker/dnc"}) {
        EXPECT_FALSE(Topics::ParseBrokerUrl(QString::fromLatin1(bad))) << bad;
    }
}

TEST(Topics, NamesAndCommandsOfOneSite) {
    for (const char* ok : {"halle1", "Fräse 3 (alt)", "dreh-bank.2"}) {
        EXPECT_TRUE(Topics::NameProblem(QString::fromUtf8(ok)).isEmpty()) << ok;
    }
    for (const QString& bad : {QString(), QStringLiteral("a/b"), QStringLiteral("a+"),
                               QStringLiteral("#"), QStringLiteral("a\nb"), QString(129, u'x')}) {
        EXPECT_FALSE(Topics::NameProblem(bad).isEmpty()) << bad.toStdString();
    }
    const auto abort = Topics::ParseCommand("dnc/h1/f1/cmd/abort", "h1");
    ASSERT_TRUE(abort);
    EXPECT_EQ(abort->machine, "f1");
    EXPECT_EQ(abort->command, "abort");
    for (const char* other : {"dnc/h2/f1/cmd/abort", "dnc/h1/f1/state", "dnc/h1/f1/cmd/abort/x",
                              "dnc/h1//cmd/abort", "x/h1/f1/cmd/abort", "dnc/h1/f1/cmd/"}) {
        EXPECT_FALSE(Topics::ParseCommand(QString::fromLatin1(other), "h1")) << other;
    }
}

TEST(LogEntries, WhatAnEntryTells) {
    const struct {
        const char* entry;
        const char* kind;
        const char* program;
    } rows[] = {
        {"/srv/dnc/f1/2507.CNC gesendete PRG Nr = 3", "sent", "2507.CNC"},
        {"/srv/dnc/f1/2507.CNC nicht vollständig gesendet: abgebrochen nach Zeile 5 von 9 (Web: "
         "anna)",
         "aborted", "2507.CNC"},
        {"/srv/dnc/f1/save/P4711.CNC PRG Nr = 12", "saved", "P4711.CNC"},
        {"/srv/dnc/f1/save/P4711.CNC PRG Nr = 12 (nach Abbruch nachgetragen)", "saved",
         "P4711.CNC"},
        {"/srv/dnc/f1/save/P1.CNC nicht gespeichert (Datenträger voll), gesichert als x",
         "notSaved", "P1.CNC"},
        {"unvollstaendig/20261208-Empfang.CNC unvollständig empfangen (Ruhezeit)", "incomplete",
         "20261208-Empfang.CNC"},
        {"Empfang unvollständig (Ruhezeit), Fehler: die Zeichen stehen in xxx.tmp", "incomplete",
         ""},
        {"Schnittstelle COM1 verloren (/dev/ttyUSB0)", "lost", ""},
        {"Schnittstelle COM1 wieder geöffnet (/dev/ttyUSB0)", "reopened", ""},
        {"Beginn", "log", ""},
    };
    for (const auto& row : rows) {
        const LogEntries::TKind kind = LogEntries::Kind(QString::fromUtf8(row.entry));
        EXPECT_EQ(kind.kind, QLatin1String(row.kind)) << row.entry;
        EXPECT_EQ(kind.program, QLatin1String(row.program)) << row.entry;
    }
}

// Beside the web front's rules: names that show other than they are, and room for versions.
TEST(ProgramFiles, OnlyPlainNamesThatShowAsTheyAre) {
    EXPECT_TRUE(ProgramFiles::NameProblem("Fr\xC3\xA4s 3 (neu).CNC").isEmpty());
    EXPECT_TRUE(ProgramFiles::NameProblem(QByteArray(200, 'a')).isEmpty());
    for (const QByteArray& bad :
         {QByteArray("a/b"), QByteArray(".."), QByteArray("a\xC2\x85"), QByteArray(201, 'a'),
          QByteArray("\xFF\xFE"),
          QByteArray("\xE2\x80\xAE"
                     "CNC.1147"),
          QByteArray("a\xE2\x81\xA6.CNC"), QByteArray("%2e%2e%2fsecret.CNC")}) {
        EXPECT_FALSE(ProgramFiles::NameProblem(bad).isEmpty()) << bad.toHex().constData();
    }
}

TEST(HeldEvents, TheOldestGoBeyondTheBoundAndAreCounted) {
    THeldEvents held(3);
    for (const char* e : {"a1", "b1", "a2", "a3", "b2"}) held.Push(QString(QChar(e[0])), e);
    QByteArrayList order;
    for (; !held.Empty(); held.Pop()) order << held.Front().payload;
    EXPECT_EQ(order, QByteArrayList({"a2", "a3", "b2"}));
    const QHash<QString, qint64> dropped = held.TakeDropped();
    EXPECT_EQ(dropped.value("a"), 1);
    EXPECT_EQ(dropped.value("b"), 1);
    EXPECT_TRUE(held.TakeDropped().isEmpty());
}

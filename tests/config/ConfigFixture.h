#pragma once
// A temporary working directory and fresh configuration tables for each test.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "config/Konfig.h"
#include "options/Unit3.h"

class ConfigFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        oldCwd_ = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir_.path()));
        ConfigValues.fill({});
        ConfigKeys.fill({});
        ConfigLineCount = 0;
        ConfigExtraLines.clear();
        ValuesSnapshot.clear();
        ConfigFileName = QStringLiteral("Config.ini");
    }
    void TearDown() override { QDir::setCurrent(oldCwd_); }

    QString Path(const QString& name) const { return dir_.filePath(name); }

    void Write(const QString& name, const QByteArray& content) const {
        QFile file(Path(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    QByteArray Read(const QString& name) const {
        QFile file(Path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    // A complete 13-line file as a machine shop would have it.
    static QByteArray Standard() {
        return "C:\\Quelmar\\Config.ini=13\r\n"
               "Version=2.4\r\n"
               "Maschine=DMU 50\r\n"
               "Frei=\r\n"
               "Extension=cnc\r\n"
               "LogFile=Protokoll\r\n"
               "Abrufkennung=N9999\r\n"
               "PrgEnde=M30\r\n"
               "ComPort=COM2 9600 8N1\r\n"
               "PrgKennung=TEST\r\n"
               "Verweilzeit=25\r\n"
               "SendePfad=/srv/nc/send\r\n"
               "AblagePfad=/srv/nc/save\r\n";
    }

    QTemporaryDir dir_;
    QString oldCwd_;
};

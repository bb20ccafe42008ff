#include "foundation/EngineKind.h"
#include "foundation/Settings.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace quilvant;

class TestSettings : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_config.isValid());
        qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
        QCOMPARE(Settings::filePath(), m_config.path() + QStringLiteral("/quilvant/quilvant.conf"));
    }

    void init()
    {
        Settings::clearOverrides();
        QFile::remove(Settings::filePath());
    }

    void defaultsWhenAbsent()
    {
        QCOMPARE(Settings::engine(), QStringLiteral("Sorn"));
        QCOMPARE(Settings::language(), QStringLiteral("zh-Hans"));
        QCOMPARE(Settings::uiLanguage(), QStringLiteral("system"));
        QCOMPARE(Settings::shortcut(), QStringLiteral("D"));
        QCOMPARE(Settings::codexPath(), QString());
        QCOMPARE(Settings::codexModel(), QString());
        QCOMPARE(Settings::endpoint(), QStringLiteral("https://api.minimax.io/v1/chat/completions"));
        QCOMPARE(Settings::minimaxModel(), QString());
        QCOMPARE(Settings::minimaxThinking(), QStringLiteral("disabled"));
        QCOMPARE(Settings::onboarded(), false);
        QCOMPARE(Settings::translationPrivacyConsent(), std::nullopt);
        QCOMPARE(Settings::serviceURL(), QString());
    }

    // The shortcut is Alt + D, T or S; anything else stored gives D.
    void shortcutLetter_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("letter");
        QTest::newRow("D") << QStringLiteral("D") << QStringLiteral("D");
        QTest::newRow("T") << QStringLiteral("T") << QStringLiteral("T");
        QTest::newRow("S") << QStringLiteral("S") << QStringLiteral("S");
        QTest::newRow("other letter") << QStringLiteral("X") << QStringLiteral("D");
        QTest::newRow("lower case") << QStringLiteral("t") << QStringLiteral("D");
        QTest::newRow("empty") << QString() << QStringLiteral("D");
    }
    void shortcutLetter()
    {
        QFETCH(QString, stored);
        QFETCH(QString, letter);
        Settings::setValue(Settings::Key::shortcut, stored);
        QCOMPARE(Settings::shortcut(), letter);
    }

    // The stored engine value names the engine by one rule; each engine's own name is what is stored for it.
    void engineNamedByTheStoredValue_data()
    {
        QTest::addColumn<std::optional<QString>>("stored");
        QTest::addColumn<EngineKind>("kind");
        QTest::newRow("absent") << std::optional<QString>() << EngineKind::Hosted;
        QTest::newRow("hosted") << std::optional<QString>(QStringLiteral("Sorn")) << EngineKind::Hosted;
        QTest::newRow("chat completions") << std::optional<QString>(QStringLiteral("MiniMax")) << EngineKind::MiniMax;
        QTest::newRow("agent") << std::optional<QString>(QStringLiteral("Codex")) << EngineKind::Codex;
        QTest::newRow("another case") << std::optional<QString>(QStringLiteral("minimax")) << EngineKind::Codex;
        QTest::newRow("empty") << std::optional<QString>(QString()) << EngineKind::Codex;
        QTest::newRow("unknown") << std::optional<QString>(QStringLiteral("Babel")) << EngineKind::Codex;
    }
    void engineNamedByTheStoredValue()
    {
        QFETCH(std::optional<QString>, stored);
        QFETCH(EngineKind, kind);
        if (stored) {
            Settings::setValue(Settings::Key::engine, *stored);
        }
        QCOMPARE(Engines::fromSettings(), kind);
        Settings::setValue(Settings::Key::engine, Engines::storedName(kind));
        QCOMPARE(Engines::fromSettings(), kind);
    }

    void storedValuesAreReadFreshAtEachUse()
    {
        Settings::setValue(Settings::Key::engine, QStringLiteral("MiniMax"));
        QCOMPARE(Settings::engine(), QStringLiteral("MiniMax"));

        // Another writer of the same file (the settings window, another process) is seen at the next read.
        {
            QSettings other(Settings::filePath(), QSettings::IniFormat);
            other.setValue(Settings::Key::engine, QStringLiteral("Codex"));
            other.setValue(Settings::Key::onboarded, true);
        }
        QCOMPARE(Settings::engine(), QStringLiteral("Codex"));
        QCOMPARE(Settings::onboarded(), true);

        Settings::remove(Settings::Key::engine);
        QCOMPARE(Settings::engine(), QStringLiteral("Sorn"));
    }

    void emptyStoredStringIsNotAbsent()
    {
        // A stored empty consent marker is a value, not "no consent stored".
        Settings::setValue(Settings::Key::translationPrivacyConsent, QString());
        QCOMPARE(Settings::translationPrivacyConsent(), std::optional<QString>(QString()));
    }

    void overridesWinWithoutBeingWritten()
    {
        Settings::setValue(Settings::Key::language, QStringLiteral("fr"));
        Settings::setOverride(Settings::Key::language, QStringLiteral("ja"));
        QCOMPARE(Settings::language(), QStringLiteral("ja"));
        QCOMPARE(QSettings(Settings::filePath(), QSettings::IniFormat).value(Settings::Key::language).toString(),
                 QStringLiteral("fr"));
        Settings::clearOverride(Settings::Key::language);
        QCOMPARE(Settings::language(), QStringLiteral("fr"));
    }

    // What this program and other writers of the format store for a boolean.
    void booleansFromTheIniFile_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<bool>("value");
        for (const char* yes : {"true", "1", "TRUE", "True", "yes", "on"}) {
            QTest::newRow(yes) << QByteArray(yes) << true;
        }
        for (const char* no : {"false", "0", "FALSE", "no", "off", "", "maybe"}) {
            QTest::newRow(*no != 0 ? no : "empty") << QByteArray(no) << false;
        }
    }
    void booleansFromTheIniFile()
    {
        QFETCH(QByteArray, stored);
        QFETCH(bool, value);
        QFile file(Settings::filePath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[General]\nonboarded=" + stored + "\n");
        file.close();
        QCOMPARE(Settings::onboarded(), value);
        Settings::setValue(Settings::Key::onboarded, !value);
        QCOMPARE(Settings::onboarded(), !value);
    }

    // A file that is there but cannot be read is reported, not taken for "nothing stored".
    void unreadableFileIsReported()
    {
        Settings::setOverride(Settings::Key::uiLanguage, QStringLiteral("zh"));
        QVERIFY(Settings::readable());
        QVERIFY(QDir().mkpath(Settings::filePath()));
        const Outcome<void> readable = Settings::readable();
        QVERIFY(QDir().rmdir(Settings::filePath()));
        QVERIFY(!readable);
        QCOMPARE(readable.error().description(),
                 QStringLiteral("无法读取设置文件 %1：不是普通文件").arg(Settings::filePath()));
        QFile file(Settings::filePath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(Settings::readable());
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"

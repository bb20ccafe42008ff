#include "core/Console.h"

#include <QTest>

using namespace quilvant;

// What reaches a terminal, and how file names are shown.
class TestConsole : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleaned_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        const QString r(QChar::ReplacementCharacter);
        QTest::newRow("line feed and tab stay") << QStringLiteral("a\tb\nc") << QStringLiteral("a\tb\nc");
        QTest::newRow("OSC 52 writes no clipboard")
            << QStringLiteral("\x1b]52;c;SGk=\x07ok") << r + QStringLiteral("]52;c;SGk=") + r + QStringLiteral("ok");
        QTest::newRow("OSC 0 ended by ST sets no title")
            << QStringLiteral("\x1b]0;t\x1b\\") << r + QStringLiteral("]0;t") + r + QStringLiteral("\\");
        QTest::newRow("carriage return, NUL, DEL")
            << QString::fromUtf16(u"a\rb\0c\x7f", 6)
            << QStringLiteral("a") + r + QStringLiteral("b") + r + QStringLiteral("c") + r;
        QTest::newRow("C1 CSI and NEL") << QString::fromUtf16(u"\x9b"
                                                              "31m\x85")
                                        << r + QStringLiteral("31m") + r;
        QTest::newRow("text beyond C1 stays") << QStringLiteral("é中文🙂") << QStringLiteral("é中文🙂");
    }
    void cleaned()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        QCOMPARE(Console::cleaned(text), shown);
    }

    void shownName_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("shown");
        QTest::newRow("UTF-8 as it is") << QByteArray("/tmp/图 1.png") << QStringLiteral("/tmp/图 1.png");
        QTest::newRow("Latin-1 byte") << QByteArray("caf\xe9.png") << QStringLiteral("caf\\xe9.png");
        QTest::newRow("cut sequence") << QByteArray("a\xe4\xb8") << QStringLiteral("a\\xe4\\xb8");
        QTest::newRow("overlong slash") << QByteArray("\xc0\xaf") << QStringLiteral("\\xc0\\xaf");
        QTest::newRow("encoded surrogate") << QByteArray("\xed\xa0\x80") << QStringLiteral("\\xed\\xa0\\x80");
        QTest::newRow("escape and line feed") << QByteArray("a\x1b[2J\n") << QStringLiteral("a\\x1b[2J\\x0a");
        QTest::newRow("C1 control") << QByteArray("\xc2\x9b") << QStringLiteral("\\xc2\\x9b");
    }
    void shownName()
    {
        QFETCH(QByteArray, name);
        QFETCH(QString, shown);
        QCOMPARE(Console::shownName(name), shown);
    }
};

QTEST_GUILESS_MAIN(TestConsole)
#include "tst_console.moc"

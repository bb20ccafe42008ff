#include "foundation/Settings.h"
#include "session/TranslationConsent.h"
#include "support/ModalAlerts.h"
#include "ui/ConsentDialog.h"
#include "ui/WelcomeAlert.h"

#include <QApplication>
#include <QDesktopServices>
#include <QTemporaryDir>
#include <QTest>

using namespace quilvant;
using namespace quilvant::test;

class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public Q_SLOTS:
    void open(const QUrl& url) { opened.append(url); }
};

class TestConsent : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_config;
    UrlCatcher m_urls;

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
        Settings::setOverride(Settings::Key::uiLanguage, QStringLiteral("en"));
        // Pages are caught here instead of starting a browser.
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &m_urls, "open");
    }

    void init()
    {
        Settings::remove(Settings::Key::translationPrivacyConsent);
        Settings::remove(Settings::Key::serviceWebsite);
        Settings::remove(Settings::Key::onboarded);
        m_urls.opened.clear();
    }

    void storedMarkerAsksNothing()
    {
        Settings::setValue(Settings::Key::translationPrivacyConsent, TranslationConsent::marker);
        QVERIFY(TranslationConsent::ensure(nullptr));
    }

    void agreeingIsRemembered()
    {
        ui::ConsentDialog dialog;
        SeenAlert seen;
        answerNextAlert(QStringLiteral("Agree and continue"), &seen);
        QVERIFY(TranslationConsent::ensure(&dialog));
        QCOMPARE(seen.text, QStringLiteral("Before you translate"));
        QVERIFY(seen.informative.contains(QStringLiteral("screenshots are never uploaded")));
        QCOMPARE(seen.buttons, (QStringList{QStringLiteral("Agree and continue"), QStringLiteral("Cancel"),
                                            QStringLiteral("Privacy policy")}));
        QCOMPARE(Settings::translationPrivacyConsent(), std::optional<QString>(QStringLiteral("norvel-sift-1")));
        QVERIFY2(TranslationConsent::ensure(nullptr), "a later translation asks no more");
    }

    // Pictures of the consent in both languages, where QUILVANT_SHOTS_DIR asks for them.
    void shots()
    {
        const QString folder = qEnvironmentVariable("QUILVANT_SHOTS_DIR");
        if (folder.isEmpty()) {
            QSKIP("QUILVANT_SHOTS_DIR is not set");
        }
        for (const QString& language : {QStringLiteral("en"), QStringLiteral("zh")}) {
            Settings::setOverride(Settings::Key::uiLanguage, language);
            ui::ConsentDialog dialog;
            SeenAlert seen;
            answerNextAlert(QStringLiteral("-"), &seen);
            TranslationConsent::ensure(&dialog);
            QVERIFY(seen.picture.save(folder + QStringLiteral("/consent-%1.png").arg(language)));
        }
        Settings::setOverride(Settings::Key::uiLanguage, QStringLiteral("en"));
    }

    void decliningStoresNothing_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("website");
        QTest::addColumn<QList<QUrl>>("opened");
        QTest::newRow("cancel") << QStringLiteral("Cancel") << QStringLiteral("https://quilvant.test/")
                                << QList<QUrl>{};
        QTest::newRow("privacy policy opens the page")
            << QStringLiteral("Privacy policy") << QStringLiteral("https://quilvant.test/site")
            << QList<QUrl>{QUrl(QStringLiteral("https://quilvant.test/site/privacy/"))};
        QTest::newRow("privacy policy without a website opens nothing")
            << QStringLiteral("Privacy policy") << QString() << QList<QUrl>{};
    }
    void decliningStoresNothing()
    {
        QFETCH(QString, answer);
        QFETCH(QString, website);
        QFETCH(QList<QUrl>, opened);
        if (!website.isEmpty()) {
            Settings::setValue(Settings::Key::serviceWebsite, website);
        }
        ui::ConsentDialog dialog;
        SeenAlert seen;
        answerNextAlert(answer, &seen);
        QVERIFY(!TranslationConsent::ensure(&dialog));
        QCOMPARE(Settings::translationPrivacyConsent(), std::nullopt);
        QCOMPARE(m_urls.opened, opened);

        SeenAlert again;
        answerNextAlert(QStringLiteral("Cancel"), &again);
        QVERIFY(!TranslationConsent::ensure(&dialog));
        QCOMPARE(again.text, QStringLiteral("Before you translate"));
    }

    void anotherMarkerAsksAgain()
    {
        Settings::setValue(Settings::Key::translationPrivacyConsent, QStringLiteral("norvel-sift-2"));
        ui::ConsentDialog dialog;
        SeenAlert seen;
        answerNextAlert(QStringLiteral("Agree and continue"), &seen);
        QVERIFY(TranslationConsent::ensure(&dialog));
        QCOMPARE(seen.text, QStringLiteral("Before you translate"));
        QCOMPARE(Settings::translationPrivacyConsent(), std::optional<QString>(QStringLiteral("norvel-sift-1")));
    }

    void welcome_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("settingsOpened");
        QTest::newRow("get started opens the settings") << QStringLiteral("Get started") << true;
        QTest::newRow("later") << QStringLiteral("Later") << false;
    }
    void welcome()
    {
        QFETCH(QString, answer);
        QFETCH(bool, settingsOpened);
        SeenAlert seen;
        answerNextAlert(answer, &seen);
        bool opened = false;
        QCOMPARE(ui::WelcomeAlert::show(nullptr, [&opened] { opened = true; }), settingsOpened);
        QCOMPARE(opened, settingsOpened);
        QCOMPARE(seen.text, QStringLiteral("Welcome to Quilvant"));
        QCOMPARE(seen.informative, QStringLiteral("Press Alt+D and select text on your screen.\n"
                                                  "Allow screen capture if your desktop asks."));
        QVERIFY(!seen.informativeWraps); // each sentence on a line of its own
        QCOMPARE(seen.buttons, (QStringList{QStringLiteral("Get started"), QStringLiteral("Later")}));
        QVERIFY(Settings::onboarded());
    }
};

QTEST_MAIN(TestConsent)
#include "tst_consent.moc"

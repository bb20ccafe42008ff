#include "foundation/Settings.h"
#include "session/TranslationConsent.h"
#include "ui/ConsentDialog.h"
#include "ui/WelcomeAlert.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>

using namespace quilvant;

namespace {

struct SeenAlert
{
    QString text;
    QString informative;
    QStringList buttons; // left to right, as shown
};

// Answers the next modal message box by pressing the button labelled `answer`, and records what it showed.
void answerNextAlert(const QString& answer, SeenAlert* seen)
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, answer, seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) {
            return;
        }
        poll->stop();
        poll->deleteLater();
        QList<QPushButton*> buttons = box->findChildren<QPushButton*>();
        std::sort(buttons.begin(), buttons.end(), [box](QPushButton* a, QPushButton* b) {
            return a->mapTo(box, QPoint()).x() < b->mapTo(box, QPoint()).x();
        });
        seen->text = box->text();
        seen->informative = box->informativeText();
        for (QPushButton* button : buttons) {
            seen->buttons.append(button->text());
        }
        for (QPushButton* button : buttons) {
            if (button->text() == answer) {
                button->click();
                return;
            }
        }
        box->reject();
    });
    poll->start(20);
}

} // namespace

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
        QCOMPARE(seen.buttons, (QStringList{QStringLiteral("Get started"), QStringLiteral("Later")}));
        QVERIFY(Settings::onboarded());
    }
};

QTEST_MAIN(TestConsent)
#include "tst_consent.moc"

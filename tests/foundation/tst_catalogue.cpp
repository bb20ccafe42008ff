#include "foundation/L.h"
#include "foundation/Settings.h"
#include "foundation/TargetLanguage.h"
#include "ui/SornBrand.h"

#include <QImage>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>

using namespace quilvant;

class TestCatalogue : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;

    static void setInterface(const char* value)
    {
        Settings::setValue(Settings::Key::uiLanguage, QString::fromUtf8(value));
    }

private Q_SLOTS:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit()); }

    void interfaceLanguageRule_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QStringList>("preferred");
        QTest::addColumn<bool>("chinese");

        QTest::newRow("zh") << QStringLiteral("zh") << QStringList{QStringLiteral("en-GB")} << true;
        QTest::newRow("en") << QStringLiteral("en") << QStringList{QStringLiteral("zh-Hans-CN")} << false;
        QTest::newRow("other value is English")
            << QStringLiteral("fr") << QStringList{QStringLiteral("zh-CN")} << false;
        QTest::newRow("ZH is not zh") << QStringLiteral("ZH") << QStringList{QStringLiteral("zh-CN")} << false;
        QTest::newRow("system, traditional first")
            << QStringLiteral("system") << QStringList{QStringLiteral("zh-Hant-TW"), QStringLiteral("en")} << true;
        QTest::newRow("system, British first")
            << QStringLiteral("system") << QStringList{QStringLiteral("en-GB"), QStringLiteral("zh-CN")} << false;
        QTest::newRow("system, no preference") << QStringLiteral("system") << QStringList{} << false;
    }

    void interfaceLanguageRule()
    {
        QFETCH(QString, setting);
        QFETCH(QStringList, preferred);
        QFETCH(bool, chinese);
        QCOMPARE(L::chineseFor(setting, preferred), chinese);
    }

    void systemLanguage()
    {
        // Run under a chosen locale by CTest (see CMakeLists.txt); skipped when run without one.
        const QByteArray expected = qgetenv("QUILVANT_EXPECT_CHINESE");
        if (expected.isEmpty()) {
            QSKIP("needs QUILVANT_EXPECT_CHINESE and a locale environment");
        }
        Settings::remove(Settings::Key::uiLanguage);
        QCOMPARE(L::chinese(), expected == "1");
        QCOMPARE(L::t(QStringLiteral("准备就绪")),
                 expected == "1" ? QStringLiteral("准备就绪") : QStringLiteral("Ready"));
    }

    void lookups_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("chinese");
        QTest::addColumn<QString>("english");

        QTest::newRow("plain key") << QStringLiteral("准备就绪") << QStringLiteral("准备就绪")
                                   << QStringLiteral("Ready");
        QTest::newRow("description key")
            << QStringLiteral("欢迎页说明")
            << QStringLiteral("按 Alt+D，框选屏幕上的文字。\n如果桌面询问，请允许截屏。")
            << QStringLiteral(
                   "Press Alt+D and select text on your screen.\nAllow screen capture if your desktop asks.");
        QTest::newRow("brand in both") << QStringLiteral("退出 Sorn") << QStringLiteral("退出 Quilvant")
                                       << QStringLiteral("Quit Quilvant");
        QTest::newRow("brand inside a sentence")
            << QStringLiteral("请在系统设置 → 隐私与安全性 → 屏幕与系统音频录制中允许「Sorn」，然后重新打开应用。")
            << QStringLiteral(
                   "Quilvant 在此桌面上找不到截屏的方式。请安装 xdg-desktop-portal 及适合你桌面的门户后端（sway "
                   "等 wlroots 桌面可安装 grim 和 slurp），然后重新框选。")
            << QStringLiteral(
                   "Quilvant found no way to take screenshots on this desktop. Install xdg-desktop-portal and "
                   "the portal backend for your desktop (or grim and slurp on sway and other wlroots "
                   "desktops), then capture again.");
        QTest::newRow("missing key stays Chinese")
            << QStringLiteral("这不是目录里的词") << QStringLiteral("这不是目录里的词")
            << QStringLiteral("这不是目录里的词");
        QTest::newRow("system error passes through") << QStringLiteral("The network connection was lost (Sorn).")
                                                     << QStringLiteral("The network connection was lost (Quilvant).")
                                                     << QStringLiteral("The network connection was lost (Quilvant).");
        QTest::newRow("brand is case-sensitive")
            << QStringLiteral("sorn SORN") << QStringLiteral("sorn SORN") << QStringLiteral("sorn SORN");
        QTest::newRow("hosted not open") << QStringLiteral("服务尚未开放") << QStringLiteral("服务尚未开放")
                                         << QStringLiteral("Hosted service is not available yet");
        QTest::newRow("keyring") << QStringLiteral("无法更新钥匙串中的 API Key。")
                                 << QStringLiteral("无法更新密钥环中的 API Key。")
                                 << QStringLiteral("Could not update the API key in the keyring.");
        QTest::newRow("shortcut glyph") << QStringLiteral("按 ⌥ D 框选英文，或在上方粘贴文字。")
                                        << QStringLiteral("按 Alt+D 框选英文，或在上方粘贴文字。")
                                        << QStringLiteral("Press Alt+D to capture, or paste text above.");
    }

    void lookups()
    {
        QFETCH(QString, key);
        QFETCH(QString, chinese);
        QFETCH(QString, english);
        setInterface("zh");
        QCOMPARE(L::t(key), chinese);
        setInterface("en");
        QCOMPARE(L::t(key), english);
    }

    void consentNoticeIsOneSentenceInBothLanguages()
    {
        const QString zh = L::text(L::consentNoticeKey, true);
        const QString en = L::text(L::consentNoticeKey, false);
        QVERIFY(zh != L::consentNoticeKey && en != L::consentNoticeKey);
        QVERIFY(zh.contains(QStringLiteral("截图不会上传")));
        QVERIFY(en.contains(QStringLiteral("screenshots are never uploaded")));
        QCOMPARE(en.count(QLatin1Char('.')), 1);
        QVERIFY(en.endsWith(QLatin1Char('.')));
        QCOMPARE(zh.count(QStringLiteral("。")), 1);
    }

    void settingChangeTakesEffectAtNextLookup()
    {
        setInterface("zh");
        const QString stored = L::t(QStringLiteral("翻译完成"));
        setInterface("en");
        QCOMPARE(L::t(QStringLiteral("翻译完成")), QStringLiteral("Translation complete"));
        QCOMPARE(stored, QStringLiteral("翻译完成")); // what was looked up earlier keeps its language
    }

    void targetLanguages_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("prompt");
        QTest::addColumn<QString>("chineseLabel");

        QTest::newRow("zh-Hans") << QStringLiteral("zh-Hans") << QStringLiteral("zh-Hans")
                                 << QStringLiteral("Simplified Chinese") << QStringLiteral("简体中文");
        QTest::newRow("legacy traditional") << QStringLiteral("繁體中文") << QStringLiteral("zh-Hant")
                                            << QStringLiteral("Traditional Chinese") << QStringLiteral("繁體中文");
        QTest::newRow("legacy simplified") << QStringLiteral("简体中文") << QStringLiteral("zh-Hans")
                                           << QStringLiteral("Simplified Chinese") << QStringLiteral("简体中文");
        QTest::newRow("ja") << QStringLiteral("ja") << QStringLiteral("ja") << QStringLiteral("Japanese")
                            << QStringLiteral("日本語");
        QTest::newRow("ko") << QStringLiteral("ko") << QStringLiteral("ko") << QStringLiteral("Korean")
                            << QStringLiteral("한국어");
        QTest::newRow("fr") << QStringLiteral("fr") << QStringLiteral("fr") << QStringLiteral("French")
                            << QStringLiteral("Français");
        QTest::newRow("en") << QStringLiteral("en") << QStringLiteral("en") << QStringLiteral("English")
                            << QStringLiteral("English");
        QTest::newRow("unknown") << QStringLiteral("de") << QStringLiteral("zh-Hans")
                                 << QStringLiteral("Simplified Chinese") << QStringLiteral("简体中文");
        QTest::newRow("empty") << QString() << QStringLiteral("zh-Hans") << QStringLiteral("Simplified Chinese")
                               << QStringLiteral("简体中文");
        QTest::newRow("case matters") << QStringLiteral("JA") << QStringLiteral("zh-Hans")
                                      << QStringLiteral("Simplified Chinese") << QStringLiteral("简体中文");
    }

    void targetLanguages()
    {
        QFETCH(QString, value);
        QFETCH(QString, code);
        QFETCH(QString, prompt);
        QFETCH(QString, chineseLabel);
        QCOMPARE(TargetLanguage::code(value), code);
        QCOMPARE(TargetLanguage::prompt(value), prompt);
        setInterface("zh");
        QCOMPARE(TargetLanguage::label(value), chineseLabel);
        setInterface("en");
        QCOMPARE(TargetLanguage::label(value), prompt);
    }

    void brandMark()
    {
        const QImage image = SornBrand::mark(20, Qt::black, true);
        QCOMPARE(image.size(), QSize(20, 20));
        QCOMPARE(image.text(QStringLiteral("template")), QStringLiteral("true"));
        QCOMPARE(image.text(QStringLiteral("Description")), QStringLiteral("Sorn · 框选翻译"));
        QVERIFY(SornBrand::mark(20, Qt::black, false).text(QStringLiteral("template")).isEmpty());

        // The mark fills the selection corners and leaves the gap between them clear.
        const QImage big = SornBrand::mark(342, Qt::red, false);
        QCOMPARE(big.pixelColor(30, 30).alpha(), 255);
        QCOMPARE(big.pixelColor(171, 20).alpha(), 0);
        QCOMPARE(big.pixelColor(171, 160), QColor(Qt::red)); // inside the bubble

        SornBrand::drawMark(nullptr, QRectF(0, 0, 10, 10), Qt::black); // no painter: nothing happens
        QImage untouched(10, 10, QImage::Format_ARGB32);
        untouched.fill(Qt::transparent);
        QPainter inactive;
        SornBrand::drawMark(&inactive, QRectF(0, 0, 10, 10), Qt::black);
        QCOMPARE(untouched.pixelColor(5, 5).alpha(), 0);
    }
};

QTEST_GUILESS_MAIN(TestCatalogue)
#include "tst_catalogue.moc"

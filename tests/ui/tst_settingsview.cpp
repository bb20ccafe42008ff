// The settings form on real widgets, with the session's keyring and a private configuration folder.
#include "foundation/Secrets.h"
#include "foundation/Settings.h"
#include "platform/Autostart.h"
#include "ui/SettingsView.h"
#include "ui/SettingsWindow.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <optional>

using namespace quilvant;
using namespace Qt::Literals::StringLiterals;

class TestSettingsView : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_config;
    std::unique_ptr<SettingsWindow> m_window;

    SettingsView* view() const { return m_window->view(); }
    template <typename T>
    T* part(const char* name) const
    {
        T* found = view()->findChild<T*>(QString::fromLatin1(name));
        Q_ASSERT(found != nullptr);
        return found;
    }
    bool sectionShown(const char* name) const { return part<QWidget>(name)->isVisible(); }
    void choose(const char* picker, const QString& value)
    {
        auto* box = part<QComboBox>(picker);
        box->setCurrentIndex(box->findData(value));
    }

    static void bothLanguages_data()
    {
        QTest::addColumn<QString>("uiLanguage");
        QTest::newRow("English") << u"en"_s;
        QTest::newRow("Chinese") << u"zh"_s;
    }

private Q_SLOTS:
    void init()
    {
        m_config = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", m_config->path().toLocal8Bit());
        qputenv("XDG_CONFIG_DIRS", m_config->filePath(u"system"_s).toLocal8Bit());
        Settings::setValue(Settings::Key::uiLanguage, u"en"_s);
        m_window = std::make_unique<SettingsWindow>();
        m_window->present();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    void cleanup()
    {
        m_window.reset();
        QVERIFY(Secrets::save(QString(), Secrets::minimaxAccount).ok());
        QVERIFY(Secrets::save(QString(), Secrets::serviceAccount).ok());
    }

    void engineChoiceShowsItsSection_data()
    {
        QTest::addColumn<QString>("engine");
        QTest::addColumn<bool>("service");
        QTest::addColumn<bool>("minimax");
        QTest::addColumn<bool>("codex");
        QTest::newRow("hosted service") << u"Sorn"_s << true << false << false;
        QTest::newRow("own API key") << u"MiniMax"_s << false << true << false;
        QTest::newRow("agent CLI") << u"Codex"_s << false << false << true;
    }

    void engineChoiceShowsItsSection()
    {
        QFETCH(QString, engine);
        QFETCH(bool, service);
        QFETCH(bool, minimax);
        QFETCH(bool, codex);
        choose("engine", engine);
        QCOMPARE(Settings::engine(), engine);
        QCOMPARE(sectionShown("serviceSection"), service);
        QCOMPARE(sectionShown("minimaxSection"), minimax);
        QCOMPARE(sectionShown("codexSection"), codex);
    }

    // Fields are stored as they are typed; keyring values only with their Save button.
    void fieldsAreStoredAsTyped()
    {
        choose("engine", u"MiniMax"_s);
        auto* model = part<QLineEdit>("minimaxModel");
        model->setFocus();
        QTest::keyClicks(model, u"MiniMax-M3"_s);
        QCOMPARE(Settings::minimaxModel(), u"MiniMax-M3"_s);
        QTest::keyClicks(part<QLineEdit>("apiKey"), u"not yet"_s);
        QCOMPARE(Secrets::read(Secrets::minimaxAccount).value, QString());
    }

    void savingAKeyringValue_data()
    {
        QTest::addColumn<QString>("engine");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("account");
        QTest::newRow("API key") << u"MiniMax"_s << u"apiKey"_s << u"saveKey"_s << Secrets::minimaxAccount;
        QTest::newRow("service token") << u"Sorn"_s << u"serviceToken"_s << u"saveToken"_s << Secrets::serviceAccount;
    }

    void savingAKeyringValue()
    {
        QFETCH(QString, engine);
        QFETCH(QString, field);
        QFETCH(QString, button);
        QFETCH(QString, account);
        choose("engine", engine);
        auto* edit = view()->findChild<QLineEdit*>(field);
        auto* save = view()->findChild<QPushButton*>(button);
        QSignalSpy messages(view(), &SettingsView::messageChanged);
        QTest::keyClicks(edit, u" secret with spaces "_s);
        QTest::mouseClick(save, Qt::LeftButton);
        QVERIFY(!save->isEnabled()); // while the keyring answers
        QTRY_COMPARE(view()->message(), u"Saved to the keyring"_s);
        QVERIFY(save->isEnabled());
        QCOMPARE(Secrets::read(account).value, u" secret with spaces "_s);
        QCOMPARE(part<QLabel>("message")->text(), u"Saved to the keyring"_s);
        QCOMPARE(m_window->focusWidget(), save); // the person's place in the form is kept

        // Shown again, the field is filled from the keyring.
        m_window.reset();
        m_window = std::make_unique<SettingsWindow>();
        m_window->present();
        QTRY_COMPARE(view()->findChild<QLineEdit*>(field)->text(), u" secret with spaces "_s);
    }

    // The toggle shows what the desktop will do, read back from the entry, also when writing it failed.
    void launchAtLoginMatchesTheAutostartEntry()
    {
        auto* toggle = part<QCheckBox>("launchAtLogin");
        QVERIFY(!toggle->isChecked());
        toggle->click();
        QVERIFY(toggle->isChecked());
        QVERIFY(QFile::exists(Autostart::path()));
        QVERIFY(Autostart::isEnabled());
        toggle->click();
        QVERIFY(!toggle->isChecked());
        QVERIFY(!QFile::exists(Autostart::path()));

        QVERIFY(QDir().mkpath(Autostart::path())); // a folder where the entry should go: writing fails
        toggle->click();
        QVERIFY(!toggle->isChecked());
        QVERIFY(view()->message().contains(Autostart::path()));
    }

    void aLooseTargetLanguageIsNormalisedWhenShown_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("normalised");
        QTest::addColumn<QString>("shown");
        QTest::newRow("older label") << u"繁體中文"_s << u"zh-Hant"_s << u"Traditional Chinese"_s;
        QTest::newRow("unknown code") << u"de"_s << u"zh-Hans"_s << u"Simplified Chinese"_s;
        QTest::newRow("valid code") << u"ja"_s << u"ja"_s << u"Japanese"_s;
    }

    void aLooseTargetLanguageIsNormalisedWhenShown()
    {
        QFETCH(QString, stored);
        QFETCH(QString, normalised);
        QFETCH(QString, shown);
        Settings::setValue(Settings::Key::language, stored);
        m_window->hide();
        m_window->present();
        QCOMPARE(Settings::value(Settings::Key::language)->toString(), normalised);
        QCOMPARE(part<QComboBox>("language")->currentText(), shown);
    }

    void previewsLeaveTheStoredLanguageAlone()
    {
        Settings::setValue(Settings::Key::language, u"de"_s);
        view()->setPreview(true);
        view()->prepareToShow();
        QCOMPARE(Settings::value(Settings::Key::language)->toString(), u"de"_s);
    }

    void languageAndShortcutChangesCallBack()
    {
        int called = 0;
        view()->setShortcutChanged([&called] { ++called; });
        choose("shortcut", u"T"_s);
        QCOMPARE(Settings::shortcut(), u"T"_s);
        QCOMPARE(called, 1);
        QVERIFY2(part<QLabel>("description")->text().startsWith(u"Press Alt+T"_s),
                 qPrintable(part<QLabel>("description")->text()));
        const QString englishTitle = m_window->windowTitle();
        choose("uiLanguage", u"zh"_s);
        QCOMPARE(called, 2);
        QCOMPARE(englishTitle, u"Quilvant Settings"_s);
        QCOMPARE(m_window->windowTitle(), u"Quilvant 设置"_s);
        QCOMPARE(part<QPushButton>("checkUpdates")->text(), u"检查更新"_s);
        QCOMPARE(part<QComboBox>("shortcut")->currentData().toString(), u"T"_s);
    }

    void withoutAGlobalShortcutTheCommandToBindIsOffered()
    {
        QVERIFY(!part<QWidget>("shortcutHelp")->isVisible());
        view()->setShortcutUnavailable(true);
        QVERIFY(part<QWidget>("shortcutHelp")->isVisible());
        QCOMPARE(part<QLineEdit>("captureCommand")->text(), u"quilvant --capture"_s);
        QTest::mouseClick(part<QPushButton>("copyCommand"), Qt::LeftButton);
        QCOMPARE(QGuiApplication::clipboard()->text(), u"quilvant --capture"_s);
    }

    void screenAccess()
    {
        auto* state = part<QLabel>("permissionState");
        QCOMPARE(state->text(), u"Allowed"_s);
        QVERIFY(!part<QPushButton>("checkPermission")->isVisible());
        view()->setPermitted(false);
        QCOMPARE(state->text(), u"No screenshot tool found"_s);
        view()->setCheckPermission([] { return true; });
        QTest::mouseClick(part<QPushButton>("checkPermission"), Qt::LeftButton);
        QCOMPARE(state->text(), u"Allowed"_s);
    }

    // At its own size the window shows the whole form, the version line included, whatever engine is chosen.
    void formFitsTheWindow_data() { bothLanguages_data(); }
    void formFitsTheWindow()
    {
        QFETCH(QString, uiLanguage);
        choose("uiLanguage", uiLanguage);
        for (const QString& engine : {u"Sorn"_s, u"MiniMax"_s, u"Codex"_s}) {
            choose("engine", engine);
            QCoreApplication::processEvents();
            const auto* scroll = view()->findChild<QScrollArea*>();
            QCOMPARE(scroll->verticalScrollBar()->maximum(), 0);
            QVERIFY(scroll->widget()->width() <= scroll->viewport()->width()); // no row wider than the window
            const auto* version = part<QLabel>("version");
            QVERIFY(version->mapTo(m_window.get(), QPoint(0, version->height())).y() <= m_window->height());
        }
    }

    // Every control starts at one column, and no row label breaks inside a word (a label's lines fit it whole).
    void rowsShareOneColumn_data() { bothLanguages_data(); }
    void rowsShareOneColumn()
    {
        QFETCH(QString, uiLanguage);
        choose("uiLanguage", uiLanguage);
        std::optional<int> column;
        for (const QString& engine : {u"Sorn"_s, u"MiniMax"_s, u"Codex"_s}) {
            choose("engine", engine);
            QCoreApplication::processEvents();
            for (const QLabel* label : view()->findChildren<QLabel*>()) {
                if (label->buddy() == nullptr || !label->isVisible()) {
                    continue;
                }
                const int x = label->buddy()->mapTo(view(), QPoint()).x();
                QCOMPARE(x, column.value_or(x));
                column = x;
                QVERIFY(!label->wordWrap());
                for (const QString& line : label->text().split(u'\n')) {
                    QVERIFY2(label->fontMetrics().horizontalAdvance(line) <= label->width(), qPrintable(line));
                }
            }
        }
        QVERIFY(column.has_value());
    }

    void opensWithTheFocusOnTheFirstControl() { QCOMPARE(m_window->focusWidget(), part<QComboBox>("uiLanguage")); }

    void versionLineAndUpdates()
    {
        QCOMPARE(part<QLabel>("version")->text(), u"Quilvant " QUILVANT_VERSION ""_s);
        QVERIFY(!part<QPushButton>("checkUpdates")->isEnabled()); // no website configured
        Settings::setValue(Settings::Key::serviceWebsite, u"https://example.test"_s);
        QVERIFY(part<QPushButton>("checkUpdates")->isEnabled());
    }
};

QTEST_MAIN(TestSettingsView)
#include "tst_settingsview.moc"

#include "foundation/Settings.h"
#include "history/History.h"
#include "history/HistoryStore.h"
#include "ui/HistoryWindow.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace quilvant;

class TestHistoryWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<History> m_history;
    std::unique_ptr<HistoryWindow> m_window;
    QList<HistoryEntry> m_opened;

    QListWidget* list() const { return m_window->findChild<QListWidget*>(u"historyList"_s); }

    void showAndWait()
    {
        QSignalSpy refreshed(m_window.get(), &HistoryWindow::refreshed);
        m_window->present();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        QTRY_VERIFY(!refreshed.isEmpty());
    }

    void type(const QString& text)
    {
        QSignalSpy refreshed(m_window.get(), &HistoryWindow::refreshed);
        m_window->searchField()->clear();
        // Typed key by key where the keyboard has the keys; other scripts arrive whole, as an input method commits.
        bool latin = true;
        for (const QChar c : text) {
            latin = latin && c.unicode() < 0x80;
        }
        if (latin) {
            QTest::keyClicks(m_window->searchField(), text);
        } else {
            m_window->searchField()->insert(text);
        }
        QTRY_VERIFY(!refreshed.isEmpty());
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", m_dir.filePath(u"config"_s).toUtf8());
        Settings::setValue(Settings::Key::uiLanguage, u"en"_s);
        const QString file = m_dir.filePath(u"history.sqlite"_s);
        {
            HistoryStore store(file);
            const QList<std::pair<QString, QString>> kept{
                {u"Good morning, how did you sleep?"_s, u"早上好，你睡得怎么样？"_s},
                {u"今天的天气很好，我们去公园散步吧。"_s, u"The weather is lovely today; let's walk in the park."_s},
                {u"駅はどこですか？"_s, u"Where is the station?"_s},
                {u"도서관은 몇 시에 문을 닫아요?"_s, u"What time does the library close?"_s},
                {u"Please restart the application to apply the new settings."_s, u"请重新启动应用以应用新设置。"_s},
            };
            QDateTime at = QDateTime::currentDateTimeUtc().addSecs(-3600);
            for (const auto& [source, translation] : kept) {
                at = at.addSecs(300);
                QVERIFY(store.add({at, source, translation, u"zh-Hans"_s, EngineKind::Hosted}).ok());
            }
        }
        m_history = std::make_unique<History>(file);
        m_window = std::make_unique<HistoryWindow>(*m_history, [this](const HistoryEntry& e) { m_opened << e; });
        showAndWait();
    }

    void newestFirstAndSearchAsYouType()
    {
        QCOMPARE(m_window->shown().size(), 5);
        QVERIFY(m_window->shown().first().translation.source.startsWith(u"Please restart"_s));
        type(u"天气"_s);
        QCOMPARE(m_window->shown().size(), 1);
        QCOMPARE(m_window->shown().first().translation.translation,
                 u"The weather is lovely today; let's walk in the park."_s);
        type(u"station"_s);
        QCOMPARE(m_window->shown().size(), 1);
        type(QString());
        QCOMPARE(m_window->shown().size(), 5);
    }

    void keyboard()
    {
        list()->setCurrentRow(0);
        list()->setFocus();
        QTest::keyClick(m_window.get(), Qt::Key_F, Qt::ControlModifier);
        QTRY_VERIFY(m_window->searchField()->hasFocus());
        QTest::keyClick(m_window->searchField(), Qt::Key_Down);
        QCOMPARE(list()->currentRow(), 1);
        QTest::keyClick(m_window->searchField(), Qt::Key_Return);
        QCOMPARE(m_opened.size(), 1);
        QCOMPARE(m_opened.first().id, m_window->shown().at(1).id);
        QTest::keyClick(m_window.get(), Qt::Key_Escape);
        QTRY_VERIFY(!m_window->isVisible());
        showAndWait();
    }

    void deleteOne()
    {
        const qint64 first = m_window->shown().first().id;
        list()->setCurrentRow(0);
        list()->setFocus();
        QTRY_VERIFY(list()->hasFocus());
        QSignalSpy refreshed(m_window.get(), &HistoryWindow::refreshed);
        QTest::keyClick(list(), Qt::Key_Delete);
        QTRY_VERIFY(!refreshed.isEmpty());
        QCOMPARE(m_window->shown().size(), 4);
        QVERIFY(m_window->shown().first().id != first);
    }

    // The entry's engine is named as the settings name it, in the interface's language.
    void engineAsTheSettingsName_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("engine");
        QTest::newRow("English") << u"en"_s << u"Quilvant · Translation service"_s;
        QTest::newRow("Chinese") << u"zh"_s << u"Quilvant · 翻译服务"_s;
    }

    void engineAsTheSettingsName()
    {
        QFETCH(QString, language);
        QFETCH(QString, engine);
        Settings::setValue(Settings::Key::uiLanguage, language);
        list()->setCurrentRow(0);
        const QString details = m_window->findChild<QLabel*>(u"historyDetails"_s)->text().remove(QChar(0x2060));
        Settings::setValue(Settings::Key::uiLanguage, u"en"_s);
        QVERIFY2(details.endsWith(u" · "_s + engine), qPrintable(details));
    }

    // Pictures of the window in both looks and languages, where QUILVANT_SHOTS_DIR asks for them.
    void shots()
    {
        const QString folder = qEnvironmentVariable("QUILVANT_SHOTS_DIR");
        if (folder.isEmpty()) {
            QSKIP("QUILVANT_SHOTS_DIR is not set");
        }
        QDir().mkpath(folder);
        for (const QString& language : {u"en"_s, u"zh"_s}) {
            Settings::setValue(Settings::Key::uiLanguage, language);
            for (const bool dark : {false, true}) {
                m_window->setForcedDark(dark);
                QTest::qWait(100);
                QVERIFY(m_window->grab().save(
                    u"%1/history-%2-%3.png"_s.arg(folder, language, dark ? u"dark"_s : u"light"_s)));
            }
        }
        Settings::setValue(Settings::Key::uiLanguage, u"en"_s);
    }
};

QTEST_MAIN(TestHistoryWindow)
#include "tst_historywindow.moc"

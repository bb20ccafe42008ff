#include "capture/CaptureFlow.h"
#include "core/Diagnostics.h"
#include "core/PrivateTempDir.h"
#include "foundation/L.h"
#include "foundation/Settings.h"
#include "platform/ProgramCaptureTool.h"
#include "selftest/Fixture.h"
#include "session/Model.h"
#include "session/ScriptedEngines.h"
#include "session/TranslationConsent.h"
#include "support/ManualRunnerClock.h"
#include "support/RecordingCard.h"
#include "support/ShellCaptureTool.h"
#include "support/X11TestDisplay.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace quilvant;
using namespace quilvant::test;
using namespace std::chrono_literals;

namespace {

const QPoint pointer(321, 123);

// Recognitions the test ends by hand.
struct HeldRecognizer
{
    Completion<QString> pending;
    CaptureFlow::Services::Recognize recognizer()
    {
        return [this](const QString&, Completion<QString> done) {
            pending = std::move(done);
            return Cancellation();
        };
    }
};

} // namespace

class TestCaptureFlow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    QString m_textPng;
    QString m_blankPng;

    static QStringList events()
    {
        QFile file(Diagnostics::logPath());
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        QStringList names;
        for (const QByteArray& line : file.readAll().split('\n')) {
            const qsizetype space = line.indexOf(' ');
            if (space > 0) {
                names.append(QString::fromUtf8(line.mid(space + 1)));
            }
        }
        return names;
    }

    static QStringList captureFiles()
    {
        return QDir(PrivateTempDir::location()).entryList({QStringLiteral("kestu-*.png")}, QDir::Files);
    }

    // A flow over a fresh model whose translations go nowhere.
    struct Harness
    {
        std::shared_ptr<ScriptedEngines> engines = std::make_shared<ScriptedEngines>();
        Model model{engines};
        RecordingCard card{model};
        std::unique_ptr<CaptureFlow> flow;
        std::unique_ptr<QSignalSpy> finished;

        Harness(std::function<std::unique_ptr<CaptureTool>()> tool, bool permitted = true,
                CaptureFlow::Services::Recognize recognize = nullptr)
        {
            CaptureFlow::Services services = CaptureFlow::Services::system();
            services.tool = std::move(tool);
            services.permitted = [permitted](const CaptureTool&) { return permitted; };
            services.pointer = [] { return pointer; };
            if (recognize) {
                services.recognize = std::move(recognize);
            }
            flow = std::make_unique<CaptureFlow>(model, card, std::move(services));
            finished = std::make_unique<QSignalSpy>(flow.get(), &CaptureFlow::finished);
        }
    };

public:
    static void initMain()
    {
        // Fixtures are drawn off screen; the display is for the selection tool.
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_RUNTIME_DIR", m_home.filePath(QStringLiteral("runtime")).toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", m_home.filePath(QStringLiteral("config")).toLocal8Bit());
        QVERIFY(QDir().mkpath(m_home.filePath(QStringLiteral("runtime"))));
        QVERIFY(PrivateTempDir::path());
        Settings::setOverride(Settings::Key::translationPrivacyConsent, TranslationConsent::marker);
        m_textPng = m_home.filePath(QStringLiteral("text.png"));
        m_blankPng = m_home.filePath(QStringLiteral("blank.png"));
        QVERIFY(Fixture::draw(QStringLiteral("Restart the application to apply the new settings."), {1100, 160},
                              {30, 60}, 32)
                    .save(m_textPng));
        QImage blank(300, 80, QImage::Format_RGB32);
        blank.fill(Qt::white);
        QVERIFY(blank.save(m_blankPng));
    }

    void init() { QFile::remove(Diagnostics::logPath()); }

    // Every way a capture can end: what the model and the card show, the events, and no file left behind.
    void paths_data()
    {
        QTest::addColumn<bool>("permitted");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QStringList>("card");
        QTest::addColumn<QStringList>("expectedEvents");

        const QString started = QStringLiteral("capture.started");
        const QString finished = QStringLiteral("capture.finished");
        const QString canceled = L::t(QStringLiteral("已取消框选，或系统未生成截图"));
        const QString failed = L::t(QStringLiteral("识别未完成"));
        QTest::newRow("no permission")
            << false << u"touch \"$1.ran\""_s << L::t(QStringLiteral("需要屏幕录制权限"))
            << L::t(
                   QStringLiteral("请在系统设置 → 隐私与安全性 → 屏幕与系统音频录制中允许「Sorn」，然后重新打开应用。"))
            << QStringList{u"prepare"_s, u"show"_s}
            << QStringList{started, QStringLiteral("capture.permission-required"), finished};
        QTest::newRow("cancelled, status 1")
            << true << u"exit 1"_s << canceled << QString() << QStringList{u"prepare"_s}
            << QStringList{started, QStringLiteral("capture.returned status=1 file=false"), finished};
        QTest::newRow("no file, status 0")
            << true << u"exit 0"_s << canceled << QString() << QStringList{u"prepare"_s}
            << QStringList{started, QStringLiteral("capture.returned status=0 file=false"), finished};
        QTest::newRow("tool failed") << true << u"exit 2"_s << canceled
                                     << QStringLiteral("系统截图未完成（状态 2），请检查屏幕录制权限后重试。")
                                     << QStringList{u"prepare"_s, u"show"_s}
                                     << QStringList{started, QStringLiteral("capture.returned status=2 file=false"),
                                                    finished};
        QTest::newRow("tool failed to start")
            << true << launchFailure << failed << QStringLiteral("Cannot start quilvant-no-such-tool")
            << QStringList{u"prepare"_s, u"show"_s} << QStringList{started, QStringLiteral("capture.failed"), finished};
        QTest::newRow("recognition failed")
            << true << QStringLiteral("cp '%1' \"$1\"").arg(m_blankPng) << failed
            << L::t(QStringLiteral("没有识别到文字，请框选更清晰的区域。"))
            << QStringList{u"prepare"_s, u"show@321,123"_s, u"show"_s}
            << QStringList{started, QStringLiteral("capture.returned status=0 file=true"),
                           QStringLiteral("ocr.started"), QStringLiteral("capture.failed"), finished};
        QTest::newRow("text recognised") << true << QStringLiteral("cp '%1' \"$1\"").arg(m_textPng)
                                         << L::t(QStringLiteral("正在翻译…")) << QString()
                                         << QStringList{u"prepare"_s, u"show@321,123"_s}
                                         << QStringList{started,
                                                        QStringLiteral("capture.returned status=0 file=true"),
                                                        QStringLiteral("ocr.started"),
                                                        QStringLiteral("ocr.completed"),
                                                        QStringLiteral("translation.started"),
                                                        finished};
    }
    void paths()
    {
        QFETCH(bool, permitted);
        QFETCH(QString, status);
        QFETCH(QStringList, card);
        QFETCH(QStringList, expectedEvents);
        QFETCH(QString, script);
        QFETCH(QString, error);
        Harness harness([script] { return shellTool(script); }, permitted);
        harness.flow->capture();
        QVERIFY(harness.model.captureInProgress());
        QTRY_COMPARE_WITH_TIMEOUT(harness.finished->count(), 1, 60000);

        QCOMPARE(harness.model.status(), status);
        QVERIFY2(error.isEmpty() ? !harness.model.error().has_value() : harness.model.errorText().startsWith(error),
                 qPrintable(harness.model.errorText()));
        QCOMPARE(harness.card.calls, card);
        QCOMPARE(events(), expectedEvents);
        QVERIFY(!harness.model.captureInProgress());
        QCOMPARE(captureFiles(), QStringList());
        QVERIFY(QDir(PrivateTempDir::location()).entryList({QStringLiteral("*.ran")}, QDir::Files).isEmpty());
        if (harness.model.status() == L::t(QStringLiteral("正在翻译…"))) {
            QVERIFY(harness.model.source().startsWith(QStringLiteral("Restart the application")));
            QVERIFY(harness.model.busy());
        } else {
            QVERIFY(!harness.model.busy());
        }
    }

    // Something stopped the model while the capture ran: its results are dropped, the file still goes.
    void staleTicket_data()
    {
        QTest::addColumn<bool>("duringRecognition");
        QTest::addColumn<QStringList>("expectedEvents");
        QTest::newRow("during the selection")
            << false
            << QStringList{u"capture.started"_s, u"capture.returned status=0 file=true"_s, u"capture.finished"_s};
        QTest::newRow("during recognition")
            << true
            << QStringList{u"capture.started"_s, u"capture.returned status=0 file=true"_s, u"ocr.started"_s,
                           u"ocr.completed"_s, u"capture.finished"_s};
    }
    void staleTicket()
    {
        QFETCH(QStringList, expectedEvents);
        QFETCH(bool, duringRecognition);
        QTemporaryDir gate;
        const QString go = gate.filePath(QStringLiteral("go"));
        HeldRecognizer recognizer;
        Harness harness(
            [&] {
                return shellTool(
                    QStringLiteral("while [ ! -e '%1' ]; do sleep 0.02; done; cp '%2' \"$1\"").arg(go, m_textPng));
            },
            true, recognizer.recognizer());
        harness.flow->capture();
        QTRY_VERIFY(captureFiles().isEmpty() && harness.model.captureInProgress());
        if (!duringRecognition) {
            harness.model.stop();
        }
        harness.model.setSource(QStringLiteral("earlier"));
        QFile(go).open(QIODevice::WriteOnly);
        if (duringRecognition) {
            QTRY_VERIFY_WITH_TIMEOUT(recognizer.pending != nullptr, 30000);
            QCOMPARE(captureFiles().size(), 1);
            harness.model.stop();
            recognizer.pending(QStringLiteral("late text"));
        }
        QTRY_COMPARE_WITH_TIMEOUT(harness.finished->count(), 1, 30000);
        QCOMPARE(harness.model.source(), duringRecognition ? QString() : QStringLiteral("earlier"));
        QVERIFY(harness.engines->calls.isEmpty());
        QCOMPARE(events(), expectedEvents);
        QCOMPARE(captureFiles(), QStringList());
        QVERIFY(!harness.model.captureInProgress());
    }

    void secondTriggerIsIgnored()
    {
        int made = 0;
        Harness harness([&made] {
            ++made;
            return shellTool(QStringLiteral("exit 1"));
        });
        harness.flow->capture();
        harness.flow->capture();
        QTRY_COMPARE(harness.finished->count(), 1);
        QCOMPARE(made, 1);
        QCOMPARE(harness.card.calls, QStringList{QStringLiteral("prepare")});
        // Once it has ended, the next trigger starts a capture again.
        harness.flow->capture();
        QTRY_COMPARE(harness.finished->count(), 2);
        QCOMPARE(made, 2);
    }

    // A tool that hangs is ended after 180 seconds, and counts as a failed tool.
    void hangingToolIsStopped()
    {
        auto clock = std::make_shared<ManualRunnerClock>();
        Harness harness([clock] { return shellTool(QStringLiteral("exec sleep 600"), clock); });
        harness.flow->capture();
        QTRY_VERIFY_WITH_TIMEOUT(clock->deadline() == std::optional<std::chrono::milliseconds>(180s), 20000);
        clock->advance(180s);
        QTRY_COMPARE_WITH_TIMEOUT(harness.finished->count(), 1, 20000);
        QCOMPARE(harness.model.errorText(), QStringLiteral("系统截图未完成（状态 143），请检查屏幕录制权限后重试。"));
        QVERIFY(events().contains(QStringLiteral("capture.returned status=143 file=false")));
    }

    // The real selection tool on the display: a region dragged over drawn text becomes the source.
    void maimSelection()
    {
        const QImage text(m_textPng);
        const X11::Picture picture(text, {200, 300});
        Harness harness([] { return ProgramCaptureTool::maim(); });
        harness.flow->capture();
        QVERIFY(X11::waitForPointerGrab());
        QVERIFY(X11::dragAcross(QRect({200, 300}, text.size())));
        QTRY_COMPARE_WITH_TIMEOUT(harness.finished->count(), 1, 60000);
        QVERIFY2(harness.model.source().startsWith(QStringLiteral("Restart the application")),
                 qPrintable(harness.model.source() + QLatin1Char('|') + harness.model.errorText()));
        QCOMPARE(captureFiles(), QStringList());
    }

    void maimEscape()
    {
        Harness harness([] { return ProgramCaptureTool::maim(); });
        harness.flow->capture();
        QVERIFY(X11::waitForPointerGrab());
        // The tool looks at the keys held now and then: hold Escape for a moment.
        QVERIFY(X11::xdotool({u"keydown"_s, u"Escape"_s, u"sleep"_s, u"0.3"_s, u"keyup"_s, u"Escape"_s}));
        QTRY_COMPARE_WITH_TIMEOUT(harness.finished->count(), 1, 30000);
        QCOMPARE(harness.model.status(), L::t(QStringLiteral("已取消框选，或系统未生成截图")));
        QVERIFY(!harness.model.error().has_value());
        QCOMPARE(harness.card.calls, QStringList{QStringLiteral("prepare")});
        QVERIFY(events().contains(QStringLiteral("capture.returned status=1 file=false")));
        QCOMPARE(captureFiles(), QStringList());
    }
};

QTEST_MAIN(TestCaptureFlow)
#include "tst_captureflow.moc"

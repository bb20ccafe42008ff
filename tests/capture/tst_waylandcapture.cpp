#include "capture/CaptureFlow.h"
#include "core/PrivateTempDir.h"
#include "foundation/Settings.h"
#include "platform/GrimRegionReader.h"
#include "platform/PasteSelectionReader.h"
#include "platform/Platform.h"
#include "platform/ProgramCaptureTool.h"
#include "selftest/Fixture.h"
#include "session/Model.h"
#include "session/ScriptedEngines.h"
#include "session/TranslationConsent.h"
#include "support/ChildProcess.h"
#include "support/HeadlessCompositor.h"
#include "support/RecordingCard.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace quilvant;
using namespace quilvant::test;

namespace {

constexpr int screenWidth = HeadlessCompositor::size.width();
constexpr int screenHeight = HeadlessCompositor::size.height();

// Plays the mouse through the virtual-pointer helper program.
class VirtualPointer
{
public:
    bool start()
    {
        m_process.start(testProgram(u"virtual_pointer"_s),
                        {QString::number(screenWidth), QString::number(screenHeight)});
        return m_process.waitForStarted() && answer() == "ready";
    }
    bool play(const QString& command)
    {
        m_process.write(command.toUtf8() + '\n');
        return answer() == "ok";
    }
    ~VirtualPointer()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

private:
    QByteArray answer()
    {
        while (!m_process.canReadLine() && m_process.waitForReadyRead(10000)) {
        }
        return m_process.readLine().trimmed();
    }
    QProcess m_process;
};

// Whether slurp runs as a child of this process (started by any of its threads).
bool slurpRunning()
{
    const QString tasks = u"/proc/%1/task"_s.arg(::getpid());
    for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile children(tasks + u'/' + task + u"/children"_s);
        const QByteArray list = children.open(QIODevice::ReadOnly) ? children.readAll() : QByteArray();
        for (const QByteArray& pid : list.split(' ')) {
            QFile comm(u"/proc/%1/comm"_s.arg(QString::fromLatin1(pid)));
            if (!pid.isEmpty() && comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "slurp") {
                return true;
            }
        }
    }
    return false;
}

} // namespace

class TestWaylandCapture : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;

public:
    static void initMain() { qputenv("QT_QPA_PLATFORM", "offscreen"); }

private Q_SLOTS:
    // slurp's selection and grim's picture of it become the model's source, as on a wlroots desktop.
    void slurpAndGrim()
    {
        qputenv("XDG_RUNTIME_DIR", m_home.path().toLocal8Bit());
        Settings::setOverride(Settings::Key::translationPrivacyConsent, TranslationConsent::marker);
        HeadlessCompositor compositor;
        const Outcome<QString> socket = compositor.start();
        if (!socket) {
            QSKIP(qPrintable(socket.error().description()));
        }
        qputenv("WAYLAND_DISPLAY", socket.value().toLocal8Bit());
        if (!QFile::exists(testProgram(u"virtual_pointer"_s))) {
            QSKIP("the virtual pointer helper was not built (no Wayland client library)");
        }

        const QString background = m_home.filePath(u"background.png"_s);
        QVERIFY(Fixture::draw(u"Restart the application to apply the new settings."_s, {screenWidth, screenHeight},
                              {100, 400}, 32)
                    .save(background));
        QVERIFY(compositor.showBackground(background));
        VirtualPointer pointer;
        QVERIFY(pointer.start());

        auto engines = std::make_shared<ScriptedEngines>();
        Model model(engines);
        RecordingCard card(model);
        CaptureFlow::Services services = CaptureFlow::Services::system();
        services.tool = [] { return ProgramCaptureTool::slurpGrim(); };
        services.permitted = [](const CaptureTool& tool) { return tool.available(); };
        services.pointer = [] { return QPoint(); };
        CaptureFlow flow(model, card, services);
        QSignalSpy finished(&flow, &CaptureFlow::finished);
        flow.capture();

        // The drag is played again until the selection tool, once its overlay is up, has taken a whole one.
        for (int attempt = 0; attempt < 10 && finished.isEmpty(); ++attempt) {
            QTRY_VERIFY_WITH_TIMEOUT(slurpRunning() || !finished.isEmpty(), 20000);
            for (const QString& step : {u"move 60 250"_s, u"down"_s, u"move 500 320"_s, u"move 1000 360"_s, u"up"_s}) {
                QVERIFY(pointer.play(step));
            }
            QTest::qWait(500);
        }
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 60000);
        QVERIFY2(model.source().startsWith(u"Restart the application"_s),
                 qPrintable(model.source() + u'|' + model.errorText() + u'|' + model.status()));
        QCOMPARE(QDir(PrivateTempDir::location()).entryList({u"kestu-*.png"_s}), QStringList());
    }

    // wl-paste reads the primary selection through the compositor's data-control protocol, the clipboard when
    // nothing is highlighted, and nothing when neither holds text.
    void pasteReadsTheSelection()
    {
        if (QStandardPaths::findExecutable(u"wl-paste"_s).isEmpty()) {
            QSKIP("wl-clipboard is not installed");
        }
        HeadlessCompositor compositor;
        const Outcome<QString> socket = compositor.start();
        if (!socket) {
            QSKIP(qPrintable(socket.error().description()));
        }
        qputenv("WAYLAND_DISPLAY", socket.value().toLocal8Bit());
        const auto copy = [](QProcess& owner, const QStringList& arguments) {
            owner.start(u"wl-copy"_s, QStringList{u"--foreground"_s} + arguments);
            return owner.waitForStarted();
        };
        const auto read = [] {
            PasteSelectionReader reader(true);
            std::optional<Outcome<SelectedText>> outcome;
            reader.read(4096, [&outcome](Outcome<SelectedText> done) { outcome = std::move(done); });
            if (!QTest::qWaitFor([&outcome] { return outcome.has_value(); }, 10000) || !*outcome) {
                return SelectedText{u"failed: "_s + (outcome ? outcome->error().description() : u"no answer"_s),
                                    SelectedText::From::Nothing, false};
            }
            return outcome->value();
        };

        QProcess clipboard;
        QVERIFY(copy(clipboard, {u"copied text"_s}));
        QProcess primary;
        QVERIFY(copy(primary, {u"--primary"_s, u"Hallo Welt, 你好"_s}));
        QTRY_COMPARE_WITH_TIMEOUT(read().text, u"Hallo Welt, 你好"_s, 10000);
        QCOMPARE(read().from, SelectedText::From::Primary);

        primary.kill();
        primary.waitForFinished();
        QProcess cleared;
        cleared.start(u"wl-copy"_s, {u"--primary"_s, u"--clear"_s});
        QVERIFY(cleared.waitForFinished(10000));
        QTRY_COMPARE_WITH_TIMEOUT(read().from, SelectedText::From::Clipboard, 10000);
        QCOMPARE(read().text, u"copied text"_s);

        clipboard.kill();
        clipboard.waitForFinished();
        cleared.start(u"wl-copy"_s, {u"--clear"_s});
        QVERIFY(cleared.waitForFinished(10000));
        QTRY_COMPARE_WITH_TIMEOUT(read().from, SelectedText::From::Nothing, 10000);
    }

    // A watched region read by grim (one run a look) and through the compositor's screen copy (the reader the
    // platform chooses on sway): the picture is what the screen shows there, the signature stays while the
    // screen does and follows its change, a region off every output fails and says so, a cancelled look ends as
    // cancelled, and once the compositor is gone looks fail instead of hanging.
    void regionReader_data()
    {
        QTest::addColumn<QString>("reader");
        // What the failures say: of a region off the screen, of a compositor that stopped answering, of one gone.
        QTest::addColumn<QString>("offScreen");
        QTest::addColumn<QString>("frozen");
        QTest::addColumn<QString>("gone");
        QTest::newRow("grim") << u"grim"_s << u"grim did not give the region's pixels"_s << u"(status 143)"_s
                              << u"(status 1)"_s;
        QTest::newRow("wlr-screencopy") << u"wlr-screencopy"_s << u"does not lie within one screen"_s
                                        << u"did not copy the watched region within 5 s"_s
                                        << u"connection to the compositor was lost"_s;
    }
    void regionReader()
    {
        QFETCH(QString, reader);
        QFETCH(QString, offScreen);
        QFETCH(QString, frozen);
        QFETCH(QString, gone);
        qputenv("XDG_RUNTIME_DIR", m_home.path().toLocal8Bit());
        qputenv("XDG_CURRENT_DESKTOP", "sway");
        HeadlessCompositor compositor;
        const Outcome<QString> socket = compositor.start();
        if (!socket) {
            QSKIP(qPrintable(socket.error().description()));
        }
        qputenv("WAYLAND_DISPLAY", socket.value().toLocal8Bit());
        const QString background = m_home.filePath(u"watched.png"_s);
        const QImage first = Fixture::draw(u"Watch this line."_s, {screenWidth, screenHeight}, {100, 400}, 32);
        QVERIFY(first.save(background));
        QVERIFY(compositor.showBackground(background));
        QTest::qWait(1000);

        const auto make = [&reader]() -> std::unique_ptr<RegionReader> {
            if (reader == u"grim"_s) {
                return std::make_unique<GrimRegionReader>();
            }
            return Platform::regionReader();
        };
        std::unique_ptr<RegionReader> chosen = make();
        QVERIFY(chosen->available());
        const QRect region(60, 250, 940, 110); // where the selection of the capture above goes
        chosen->setRegion(region);
        const auto look = [&chosen] {
            std::optional<Outcome<std::uint64_t>> result;
            chosen->look([&result](Outcome<std::uint64_t> outcome) { result.emplace(std::move(outcome)); });
            (void)QTest::qWaitFor([&result] { return result.has_value(); }, 10000);
            return result.value_or(Outcome<std::uint64_t>(Error::system(u"no answer"_s)));
        };
        const Outcome<std::uint64_t> signature = look();
        QVERIFY2(signature.ok(), qPrintable(signature.error().description()));
        QCOMPARE(chosen->name(), reader);
        QCOMPARE(look().value(), signature.value());
        QCOMPARE(chosen->picture(), first.copy(region).convertToFormat(QImage::Format_RGB32));
        QImage blank(region.size(), QImage::Format_RGB32);
        blank.fill(Qt::white);
        QVERIFY(chosen->picture() != blank); // the text is in the region

        // Cancelled at once: the end is the cancellation, and the reader looks again afterwards.
        std::optional<Outcome<std::uint64_t>> cancelled;
        Cancellation running =
            chosen->look([&cancelled](Outcome<std::uint64_t> outcome) { cancelled.emplace(std::move(outcome)); });
        running.cancel();
        QTRY_VERIFY_WITH_TIMEOUT(cancelled.has_value(), 10000);
        QVERIFY(cancelled->error().isCancelled());
        std::optional<Outcome<std::uint64_t>> again;
        QTRY_VERIFY_WITH_TIMEOUT((again = look())->ok(), 10000); // grim's cancelled run may still be winding up
        QCOMPARE(again->value(), signature.value());

        QVERIFY(Fixture::draw(u"Watch this line!"_s, {screenWidth, screenHeight}, {100, 400}, 32).save(background));
        QVERIFY(compositor.showBackground(background));
        const auto changed = [&] {
            const Outcome<std::uint64_t> now = look();
            return now.ok() && now.value() != signature.value();
        };
        QTRY_VERIFY_WITH_TIMEOUT(changed(), 10000);

        chosen->setRegion(QRect(screenWidth + 100, 0, 200, 100));
        const Outcome<std::uint64_t> off = look();
        QVERIFY(!off.ok());
        QVERIFY2(off.error().description().contains(offScreen), qPrintable(off.error().description()));

        // A compositor that stops answering: the look ends at the time limit, and the next one, once the
        // compositor answers again, sees the picture.
        chosen->setRegion(region);
        QCOMPARE(::kill(pid_t(compositor.processId()), SIGSTOP), 0);
        const Outcome<std::uint64_t> unanswered = look();
        QCOMPARE(::kill(pid_t(compositor.processId()), SIGCONT), 0);
        QVERIFY(!unanswered.ok());
        QVERIFY2(unanswered.error().description().contains(frozen), qPrintable(unanswered.error().description()));
        QTRY_VERIFY_WITH_TIMEOUT(changed(), 10000);

        // Destroyed while a look runs: that look never ends, and nothing of it is touched afterwards.
        bool ended = false;
        (void)chosen->look([&ended](Outcome<std::uint64_t>) { ended = true; });
        chosen.reset();
        QTest::qWait(300);
        QVERIFY(!ended);

        chosen = make();
        chosen->setRegion(region);
        compositor.stop();
        const Outcome<std::uint64_t> lost = look();
        QVERIFY(!lost.ok());
        QVERIFY2(lost.error().description().contains(gone), qPrintable(lost.error().description()));
    }
};

QTEST_MAIN(TestWaylandCapture)
#include "tst_waylandcapture.moc"

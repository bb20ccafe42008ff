#include "capture/CaptureFlow.h"
#include "core/PrivateTempDir.h"
#include "foundation/Settings.h"
#include "platform/PasteSelectionReader.h"
#include "platform/ProgramCaptureTool.h"
#include "selftest/Fixture.h"
#include "session/Model.h"
#include "session/ScriptedEngines.h"
#include "session/TranslationConsent.h"
#include "support/ChildProcess.h"
#include "support/RecordingCard.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace quilvant;
using namespace quilvant::test;

namespace {

constexpr int screenWidth = 1280;
constexpr int screenHeight = 720;

// A headless wlroots compositor with a runtime directory of its own. The compositor refuses to run as root,
// so under root it runs as nobody.
class HeadlessCompositor
{
public:
    ~HeadlessCompositor()
    {
        for (QProcess* process : {&m_background, &m_sway}) {
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(5000);
            }
        }
    }

    // The Wayland socket's path, or the reason the compositor could not be started.
    Outcome<QString> start()
    {
        const QString sway = QStandardPaths::findExecutable(u"sway"_s);
        if (sway.isEmpty()) {
            return Error::system(u"sway is not installed"_s);
        }
        QFile::setPermissions(m_dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                                QFileDevice::ReadOther | QFileDevice::ExeOther);
        const QString runtime = m_dir.filePath(u"runtime"_s);
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        const QString config = m_dir.filePath(u"config"_s);
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(u"output HEADLESS-1 resolution %1x%2\n"_s.arg(screenWidth).arg(screenHeight).toUtf8()) < 0) {
            return Error::system(u"cannot write the compositor's configuration"_s);
        }
        file.close();

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_RUNTIME_DIR"_s, runtime);
        environment.insert(u"HOME"_s, m_dir.path());
        environment.insert(u"WLR_BACKENDS"_s, u"headless"_s);
        environment.insert(u"WLR_RENDERER"_s, u"pixman"_s);
        environment.insert(u"WLR_LIBINPUT_NO_DEVICES"_s, u"1"_s);
        environment.remove(u"DISPLAY"_s);
        environment.remove(u"WAYLAND_DISPLAY"_s);
        m_sway.setProcessEnvironment(environment);
        m_sway.setProcessChannelMode(QProcess::MergedChannels);
        if (::geteuid() == 0) {
            if (::chown(runtime.toLocal8Bit().constData(), 65534, 65534) != 0) {
                return Error::system(u"cannot hand the runtime directory to nobody"_s);
            }
            m_sway.start(u"setpriv"_s,
                         {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s, u"--"_s, sway, u"-c"_s, config});
        } else {
            m_sway.start(sway, {u"-c"_s, config});
        }
        QString socket;
        QElapsedTimer waited;
        waited.start();
        while ((socket = findSocket(runtime)).isEmpty() && m_sway.state() != QProcess::NotRunning &&
               waited.elapsed() < 20000) {
            QTest::qWait(50);
        }
        if (socket.isEmpty()) {
            return Error::system(u"sway did not start: "_s + QString::fromUtf8(m_sway.readAll()).trimmed());
        }
        return socket;
    }

    // Shows `image` as the desktop's background.
    bool showBackground(const QString& image)
    {
        m_background.start(u"swaybg"_s, {u"-i"_s, image, u"-m"_s, u"center"_s});
        return m_background.waitForStarted();
    }

private:
    static QString findSocket(const QString& runtime)
    {
        const QStringList sockets = QDir(runtime).entryList({u"wayland-?"_s}, QDir::System);
        return sockets.isEmpty() ? QString() : runtime + u'/' + sockets.constFirst();
    }

    // Under /tmp: nobody must reach the runtime directory, and the test's own temporary folder is private.
    QTemporaryDir m_dir{u"/tmp/quilvant-compositor-XXXXXX"_s};
    QProcess m_sway;
    QProcess m_background;
};

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
};

QTEST_MAIN(TestWaylandCapture)
#include "tst_waylandcapture.moc"

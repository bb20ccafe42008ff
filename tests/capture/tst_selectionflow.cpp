#include "capture/SelectionFlow.h"
#include "foundation/L.h"
#include "foundation/Settings.h"
#include "platform/X11SelectionReader.h"
#include "session/Model.h"
#include "session/ScriptedEngines.h"
#include "session/TranslationConsent.h"
#include "support/ChildProcess.h"
#include "support/RecordingCard.h"
#include "support/X11TestDisplay.h"

#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <fcntl.h>
#include <list>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace quilvant;
using namespace quilvant::test;

namespace {

// A Qt program that owns PRIMARY with rich text: `arguments` are the HTML and, when given, the plain text.
class RichOwner
{
public:
    explicit RichOwner(const QStringList& arguments)
    {
        m_process.start(testProgram(u"selection_owner"_s), arguments);
        while (!m_process.canReadLine() && m_process.waitForReadyRead(10000)) {
        }
        m_ready = m_process.readLine().trimmed() == "ready";
    }
    ~RichOwner()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    bool ready() const { return m_ready; }

private:
    QProcess m_process;
    bool m_ready = false;
};

// Owners of PRIMARY and CLIPBOARD for one test; a null text leaves the selection without an owner.
struct Selections
{
    std::list<X11::SelectionOwner> owners;
    Selections(const std::optional<QByteArray>& primary, const std::optional<QByteArray>& clipboard)
    {
        // An earlier test's owners have ended, and with them their selections.
        if (primary) {
            owners.emplace_back(u"primary"_s, *primary);
        }
        if (clipboard) {
            owners.emplace_back(u"clipboard"_s, *clipboard);
        }
    }
};

Outcome<SelectedText> readSelection(SelectionReader& reader, qsizetype limit = SelectionFlow::byteLimit)
{
    std::optional<Outcome<SelectedText>> outcome;
    reader.read(limit, [&outcome](Outcome<SelectedText> read) { outcome = std::move(read); });
    if (!QTest::qWaitFor([&outcome] { return outcome.has_value(); }, 10000)) {
        return Error::system(u"no answer"_s);
    }
    return *outcome;
}

} // namespace

class TestSelectionFlow : public QObject
{
    Q_OBJECT

    std::shared_ptr<ScriptedEngines> m_engines;
    std::unique_ptr<Model> m_model;
    std::unique_ptr<RecordingCard> m_card;
    std::unique_ptr<SelectionFlow> m_flow;

public:
    static void initMain() { qputenv("QT_QPA_PLATFORM", "offscreen"); }

private Q_SLOTS:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(u"xclip"_s).isEmpty()) {
            QSKIP("xclip is not installed");
        }
        Settings::setOverride(Settings::Key::translationPrivacyConsent, TranslationConsent::marker);
        Settings::setOverride(Settings::Key::uiLanguage, u"en"_s);
    }

    void init()
    {
        m_engines = std::make_shared<ScriptedEngines>();
        m_model = std::make_unique<Model>(m_engines);
        m_card = std::make_unique<RecordingCard>(*m_model);
        m_flow = std::make_unique<SelectionFlow>(*m_model, *m_card, X11SelectionReader::create(),
                                                 [] { return QPoint(40, 50); });
    }

    void cleanup()
    {
        m_flow.reset();
        m_card.reset();
        m_model.reset();
    }

    void readsTheSelection_data()
    {
        QTest::addColumn<std::optional<QByteArray>>("primary");
        QTest::addColumn<std::optional<QByteArray>>("clipboard");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<SelectedText::From>("from");
        const std::optional<QByteArray> none;
        QTest::newRow("highlighted text first")
            << std::optional<QByteArray>("Hello world") << std::optional<QByteArray>("copied") << u"Hello world"_s
            << SelectedText::From::Primary;
        QTest::newRow("nothing highlighted: the clipboard")
            << none << std::optional<QByteArray>("copied") << u"copied"_s << SelectedText::From::Clipboard;
        QTest::newRow("blank highlight: the clipboard")
            << std::optional<QByteArray>(" \n\t ") << std::optional<QByteArray>("copied") << u"copied"_s
            << SelectedText::From::Clipboard;
        QTest::newRow("UTF-8") << std::optional<QByteArray>("你好，世界 — こんにちは") << none
                               << u"你好，世界 — こんにちは"_s << SelectedText::From::Primary;
        QTest::newRow("neither") << none << none << QString() << SelectedText::From::Nothing;
    }

    void readsTheSelection()
    {
        QFETCH(std::optional<QByteArray>, primary);
        QFETCH(std::optional<QByteArray>, clipboard);
        QFETCH(QString, expected);
        QFETCH(SelectedText::From, from);
        Selections owners(primary, clipboard);
        auto reader = X11SelectionReader::create();
        QVERIFY(reader);
        const Outcome<SelectedText> read = readSelection(*reader);
        QVERIFY2(read.ok(), qPrintable(read.error().description()));
        QCOMPARE(read.value().text, expected);
        QCOMPARE(read.value().from, from);
        QVERIFY(!read.value().tooLarge);
    }

    // A rich selection is read as plain text: the owner's own plain text where it offers one, else the text of
    // its markup.
    void richSelections_data()
    {
        QTest::addColumn<QStringList>("offered");
        QTest::addColumn<QString>("expected");
        QTest::newRow("markup and plain text")
            << QStringList{u"<p>Hello <b>bold</b> world</p>"_s, u"Hello, plainly"_s} << u"Hello, plainly"_s;
        QTest::newRow("markup only") << QStringList{u"<p>Grüße <b>aus</b> 東京</p><p>fish &amp; chips</p>"_s}
                                     << u"Grüße aus 東京\nfish & chips"_s;
    }

    void richSelections()
    {
        QFETCH(QStringList, offered);
        QFETCH(QString, expected);
        const RichOwner owner(offered);
        QVERIFY(owner.ready());
        auto reader = X11SelectionReader::create();
        const Outcome<SelectedText> read = readSelection(*reader);
        QVERIFY2(read.ok(), qPrintable(read.error().description()));
        QCOMPARE(read.value().text, expected);
        QCOMPARE(read.value().from, SelectedText::From::Primary);
    }

    // Markup that names a pipe as its style sheet: the text is read without opening it. (Opened, it would hold
    // the reader until something writes; the writer here notes that it was met.)
    void markupOpensNoFile()
    {
        QTemporaryDir dir;
        const QByteArray pipe = QFile::encodeName(dir.filePath(u"style.css"_s));
        QCOMPARE(::mkfifo(pipe.constData(), 0600), 0);
        std::atomic<bool> released = false;
        std::atomic<bool> met = false;
        std::thread writer([&] {
            const int fd = ::open(pipe.constData(), O_WRONLY | O_CLOEXEC);
            met = !released;
            if (fd >= 0) {
                (void)::write(fd, "p {}", 4);
                ::close(fd);
            }
        });
        Outcome<SelectedText> read = Error::system(u"no owner"_s);
        {
            const RichOwner owner(
                {u"<html><head><link rel=\"stylesheet\" type=\"text/css\" href=\"%1\"></head><body><p>styled</p></body></html>"_s
                     .arg(QString::fromLocal8Bit(pipe))});
            if (owner.ready()) {
                read = readSelection(*X11SelectionReader::create());
            }
        }
        released = true;
        const int fd = ::open(pipe.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        writer.join();
        ::close(fd);
        QVERIFY(!met);
        QVERIFY2(read.ok(), qPrintable(read.error().description()));
        QCOMPARE(read.value().text, u"styled"_s);
    }

    // Large selections come in increments; the limit ends them, whole or in parts.
    void largeSelections_data()
    {
        QTest::addColumn<qsizetype>("size");
        QTest::addColumn<qsizetype>("limit");
        QTest::addColumn<bool>("tooLarge");
        QTest::newRow("one property, beyond the limit") << qsizetype(30000) << SelectionFlow::byteLimit << true;
        QTest::newRow("one property, at the limit") << SelectionFlow::byteLimit << SelectionFlow::byteLimit << false;
        QTest::newRow("increments, beyond the limit") << qsizetype(600000) << SelectionFlow::byteLimit << true;
        QTest::newRow("increments, read whole") << qsizetype(600000) << qsizetype(1 << 20) << false;
    }

    void largeSelections()
    {
        QFETCH(qsizetype, size);
        QFETCH(qsizetype, limit);
        QFETCH(bool, tooLarge);
        QByteArray text(size, 'a');
        for (qsizetype i = 0; i < size; i += 97) {
            text[i] = static_cast<char>('b' + (i / 97) % 20);
        }
        Selections owners(text, std::nullopt);
        auto reader = X11SelectionReader::create();
        const Outcome<SelectedText> read = readSelection(*reader, limit);
        QVERIFY2(read.ok(), qPrintable(read.error().description()));
        QCOMPARE(read.value().tooLarge, tooLarge);
        QCOMPARE(read.value().text, tooLarge ? QString() : QString::fromLatin1(text));
    }

    void translatesTheSelection()
    {
        Selections owners(QByteArray("Bonjour tout le monde"), std::nullopt);
        m_flow->translateSelection();
        QTRY_COMPARE(m_engines->calls.size(), 1);
        QCOMPARE(m_engines->calls[0].kind, u"hosted"_s);
        QCOMPARE(m_engines->calls[0].args[0], u"Bonjour tout le monde"_s);
        QCOMPARE(m_model->source(), u"Bonjour tout le monde"_s);
        QCOMPARE(m_card->calls, QStringList{u"show@40,50"_s});
        m_engines->calls[0].finish(u"大家好"_s);
        QTRY_COMPARE(m_model->translated(), u"大家好"_s);
    }

    void nothingIsSent_data()
    {
        QTest::addColumn<std::optional<QByteArray>>("primary");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("error");
        QTest::newRow("no selection") << std::optional<QByteArray>() << u"No text selected"_s << QString();
        QTest::newRow("white space only") << std::optional<QByteArray>("  \n ") << u"No text selected"_s << QString();
        QTest::newRow("more characters than the engines take")
            << std::optional<QByteArray>(QByteArray(SelectionFlow::maxCharacters + 1, 'x')) << u"Translation failed"_s
            << u"Too much text. Select a smaller area."_s;
        QTest::newRow("more bytes than are read")
            << std::optional<QByteArray>(QByteArray(200000, 'x')) << u"Translation failed"_s
            << u"Too much text. Select a smaller area."_s;
    }

    void nothingIsSent()
    {
        QFETCH(std::optional<QByteArray>, primary);
        QFETCH(QString, status);
        QFETCH(QString, error);
        Selections owners(primary, std::nullopt);
        QSignalSpy finished(m_flow.get(), &SelectionFlow::finished);
        m_flow->translateSelection();
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(m_model->status(), status);
        QCOMPARE(m_model->errorText(), error);
        QCOMPARE(m_card->calls, QStringList{u"show@40,50"_s});
        QTest::qWait(50);
        QVERIFY(m_engines->calls.isEmpty());
        QVERIFY(!m_model->busy());
    }

    // A second press while the first selection is translating: the first is stopped and cannot land later.
    void secondPressWhileTranslating()
    {
        {
            Selections first(QByteArray("first"), std::nullopt);
            m_flow->translateSelection();
            QTRY_COMPARE(m_engines->calls.size(), 1);
        }
        Selections second(QByteArray("second"), std::nullopt);
        m_flow->translateSelection();
        QTRY_COMPARE(m_engines->calls.size(), 2);
        QVERIFY(*m_engines->calls[0].cancelled);
        QCOMPARE(m_engines->calls[1].args[0], u"second"_s);
        m_engines->calls[0].finish(u"late"_s);
        m_engines->calls[1].finish(u"第二"_s);
        QTRY_COMPARE(m_model->translated(), u"第二"_s);
        QTest::qWait(20);
        QCOMPARE(m_model->translated(), u"第二"_s);
        QCOMPARE(m_model->source(), u"second"_s);
    }

    void unreadableDesktopSaysSo()
    {
        SelectionFlow flow(*m_model, *m_card, std::make_unique<NullSelectionReader>(), [] { return QPoint(1, 2); });
        flow.translateSelection();
        QCOMPARE(m_model->errorText(),
                 L::t(u"这个桌面不让程序读取选中的文字。请安装 wl-clipboard，或复制文字后粘贴到上方。"_s));
        QCOMPARE(m_card->calls, QStringList{u"show@1,2"_s});
        QTest::qWait(20);
        QVERIFY(m_engines->calls.isEmpty());
    }
};

QTEST_MAIN(TestSelectionFlow)
#include "tst_selectionflow.moc"

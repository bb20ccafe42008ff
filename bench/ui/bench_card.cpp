// The card's speed and memory: showCard until the X server reports the panel viewable; a streamed delta until
// the card has repainted, at 4 KB of translation; the memory the card adds to the process. Wall time and the
// process's CPU time per operation. Usage: bench_card [ROUNDS]
#include "core/Clock.h"
#include "foundation/Settings.h"
#include "platform/X11Window.h"
#include "session/Model.h"
#include "support/Measure.h"
#include "ui/Card.h"
#include "ui/CardParts.h"
#include "ui/CardWindow.h"
#include "ui/FloatingPanel.h"

#include <QApplication>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <unistd.h>
#include <vector>

using namespace quilvant;

using namespace quilvant::bench;

namespace {

// Serves the event loop until `done` holds. Each turn may wait for events, as the real loop does (that is
// when the window system's events are read); a 1 ms ticker keeps it turning while only the server is polled.
template <typename Condition>
void serveUntil(Condition done)
{
    while (!done()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

// Counts the window's repaint requests; the one counted has been served when the event loop turn ends.
class UpdateCounter final : public QObject
{
public:
    int count = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::UpdateRequest) {
            ++count;
        }
        return false;
    }
};

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QApplication application(argc, argv);
    const int rounds = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 200;
    if (!X11Window::available()) {
        std::fprintf(stderr, "needs an X11 display\n");
        return 1;
    }
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    Settings::setOverride(Settings::Key::uiLanguage, QStringLiteral("en"));

    QTimer ticker;
    ticker.start(1);
    const double before = residentMegabytes();
    Model model;
    CardWindow window(&model);
    model.setSource(QStringLiteral("A sentence to translate."));

    // The first show builds the window.
    double wall = Clock::uptime();
    double cpu = cpuSeconds();
    window.showCard(QPoint(100, 100));
    WId id = window.panel()->winId();
    serveUntil([id] { return X11Window::isViewable(id); });
    std::printf("first showCard -> viewable (creates the panel): %.3f ms, CPU %.3f ms\n",
                (Clock::uptime() - wall) * 1000.0, (cpuSeconds() - cpu) * 1000.0);

    std::vector<double> showWall;
    std::vector<double> showCpu;
    for (int i = 0; i < rounds; ++i) {
        window.closeCard();
        serveUntil([id] { return !X11Window::isViewable(id); });
        wall = Clock::uptime();
        cpu = cpuSeconds();
        window.showCard(QPoint(100 + i % 50, 100));
        id = window.panel()->winId();
        serveUntil([id] { return X11Window::isViewable(id); });
        showWall.push_back((Clock::uptime() - wall) * 1000.0);
        showCpu.push_back((cpuSeconds() - cpu) * 1000.0);
    }
    report("showCard -> viewable", showWall, showCpu, 3);

    // A translation of 4 KB (UTF-8) streamed on in small deltas, as the hosted engine delivers it, read along at
    // its end. Each delta is measured until the event loop has repainted what changed and handed it to the
    // server; and, as an upper bound, until the whole card has been repainted at once.
    auto* view = window.card()->findChild<card::TranslationText*>(QStringLiteral("translationText"));
    QString text;
    const QString sentence = QStringLiteral("这是流式翻译的一句话，每次增加几个字。");
    while (text.toUtf8().size() < 4096) {
        text += sentence;
        if (text.size() % 120 < sentence.size()) {
            text += QLatin1Char('\n');
        }
    }
    model.setTranslated(text);
    serveUntil([&] { return window.panel()->windowHandle()->isExposed(); });
    UpdateCounter updates;
    window.panel()->installEventFilter(&updates);
    std::vector<double> deltaWall;
    std::vector<double> deltaCpu;
    std::vector<double> wholeWall;
    std::vector<double> wholeCpu;
    for (int i = 0; i < 2 * rounds; ++i) {
        text += sentence.mid(i % 10, 2);
        view->verticalScrollBar()->setValue(view->verticalScrollBar()->maximum());
        // Let the scroll's own repaint go first, so that only the delta's work is measured.
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        const int updatesBefore = updates.count;
        const bool whole = i % 2 == 1;
        wall = Clock::uptime();
        cpu = cpuSeconds();
        model.setTranslated(text);
        if (whole) {
            QCoreApplication::sendPostedEvents();
            window.card()->repaint();
        } else {
            serveUntil([&] { return updates.count > updatesBefore; });
        }
        (whole ? wholeWall : deltaWall).push_back((Clock::uptime() - wall) * 1000.0);
        (whole ? wholeCpu : deltaCpu).push_back((cpuSeconds() - cpu) * 1000.0);
    }
    std::printf("translation at the end: %lld bytes of UTF-8\n", static_cast<long long>(text.toUtf8().size()));
    report("streamed delta -> card repainted by the event loop", deltaWall, deltaCpu, 3);
    report("streamed delta -> whole card repainted at once", wholeWall, wholeCpu, 3);
    std::printf("memory added by the card (resident, shown with 4 KB of translation): %.1f MB\n",
                residentMegabytes() - before);
    return 0;
}

#include "capture/WatchFlow.h"

#include "core/Diagnostics.h"
#include "foundation/L.h"
#include "foundation/Settings.h"
#include "platform/Platform.h"
#include "recognition/Translation.h"
#include "session/CardHost.h"
#include "session/Model.h"

#include <QFile>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <utility>

namespace quilvant {

namespace {

QString endName(WatchFlow::End why)
{
    switch (why) {
    case WatchFlow::End::Stopped:
        return QStringLiteral("stopped");
    case WatchFlow::End::Closed:
        return QStringLiteral("closed");
    case WatchFlow::End::Replaced:
        return QStringLiteral("replaced");
    case WatchFlow::End::ScreenGone:
        return QStringLiteral("screen-gone");
    case WatchFlow::End::Failed:
        return QStringLiteral("failed");
    case WatchFlow::End::Declined:
        return QStringLiteral("declined");
    }
    return {};
}

qreal pixelRatio()
{
    return qGuiApp != nullptr ? qGuiApp->devicePixelRatio() : 1.0;
}

// The screens' areas in the display's own pixels.
QList<QRect> screenAreas()
{
    QList<QRect> areas;
    const qreal ratio = pixelRatio();
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect logical = screen->geometry();
        areas.append(QRect(qRound(logical.x() * ratio), qRound(logical.y() * ratio), qRound(logical.width() * ratio),
                           qRound(logical.height() * ratio)));
    }
    return areas;
}

} // namespace

WatchFlow::Services WatchFlow::Services::system()
{
    return {
        .picker = [] { return Platform::regionPicker(); },
        .reader = [] { return Platform::regionReader(); },
        .recognize = [](const QString& path,
                        Completion<QString> done) { return Translation::recognize(path, std::move(done)); },
    };
}

WatchFlow::WatchFlow(Model& model, CardHost& card, Services services, QObject* parent)
    : QObject(parent)
    , m_model(model)
    , m_card(card)
    , m_services(std::move(services))
{
    m_lookTimer.setSingleShot(true);
    m_lookTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_lookTimer, &QTimer::timeout, this, &WatchFlow::lookNow);
    m_pauseTimer.setSingleShot(true);
    connect(&m_pauseTimer, &QTimer::timeout, this, &WatchFlow::resume);
    connect(&m_model, &Model::busyChanged, this, [this] {
        if (!m_translating || m_model.busy()) {
            return;
        }
        m_translating = false;
        // Once the model has written its status and error for the end.
        QPointer<WatchFlow> self(this);
        QMetaObject::invokeMethod(
            this,
            [self, serial = m_serial, translation = m_translation] {
                if (self && self->m_serial == serial) {
                    self->translationEnded(translation);
                }
            },
            Qt::QueuedConnection);
    });
    if (qGuiApp != nullptr) {
        connect(qGuiApp, &QGuiApplication::screenRemoved, this, &WatchFlow::screensChanged, Qt::QueuedConnection);
    }
    m_clock.start();
}

WatchFlow::~WatchFlow()
{
    if (watching() || selecting()) {
        stop(End::Stopped);
    }
}

QString WatchFlow::shortcutLetter()
{
    const QString letter = Settings::string(shortcutKey);
    return shortcutLetters().contains(letter) ? letter : QStringLiteral("W");
}

QStringList WatchFlow::shortcutLetters()
{
    return {QStringLiteral("W"), QStringLiteral("E"), QStringLiteral("R")};
}

QString WatchFlow::watchingHint()
{
    return L::t(QStringLiteral("正在监视区域 · 按 %1 或关闭卡片即可停止"))
        .arg(QStringLiteral("Alt+") + shortcutLetter());
}

bool WatchFlow::settled() const
{
    return !m_dirty && !m_reading.isValid() && !m_translating && !m_pending && !m_model.busy();
}

QRect WatchFlow::toLogical(const QRect& devicePixels)
{
    const qreal ratio = pixelRatio();
    return {qRound(devicePixels.x() / ratio), qRound(devicePixels.y() / ratio), qRound(devicePixels.width() / ratio),
            qRound(devicePixels.height() / ratio)};
}

std::unique_ptr<RegionReader> WatchFlow::makeReader() const
{
    if (!m_services.reader) {
        return std::make_unique<NullRegionReader>(L::t(QStringLiteral("这个桌面不允许 Sorn 监视屏幕区域。")));
    }
    return m_services.reader();
}

void WatchFlow::start()
{
    if (m_model.captureInProgress()) {
        return;
    }
    if (watching()) {
        stop(End::Replaced);
    }
    if (!makeReader()->available()) {
        showProblem(L::t(QStringLiteral("这个桌面不允许 Sorn 监视屏幕区域。")));
        return;
    }
    m_picker = m_services.picker ? m_services.picker() : nullptr;
    if (!m_picker || !m_picker->available()) {
        m_picker.reset();
        showProblem(L::t(QStringLiteral("框选监视区域需要 slop（X11）或 slurp（wlroots 桌面）。")));
        return;
    }
    m_model.stop();
    m_model.setCaptureInProgress(true);
    m_card.prepareCardForCapture();
    const quint64 serial = ++m_serial;
    QPointer<WatchFlow> self(this);
    m_picking = m_picker->pick([self, serial](Outcome<std::optional<QRect>> outcome) {
        if (!self || self->m_serial != serial) {
            return;
        }
        self->m_picking = Cancellation();
        self->m_model.setCaptureInProgress(false);
        if (!outcome) {
            if (!outcome.error().isCancelled()) {
                self->showProblem(outcome.error().description());
            }
            Q_EMIT self->stateChanged();
            return;
        }
        self->picked(outcome.value());
    });
    Q_EMIT stateChanged();
}

void WatchFlow::picked(std::optional<QRect> region)
{
    if (!region) {
        m_model.setStatus(L::t(QStringLiteral("已取消框选，或系统未生成截图")));
        Q_EMIT stateChanged();
        return;
    }
    watch(*region);
}

bool WatchFlow::watch(const QRect& region)
{
    if (watching()) {
        stop(End::Replaced);
    }
    // Up to the screen's size: the part of the region on the screen that holds most of it.
    QRect onScreen;
    for (const QRect& area : screenAreas()) {
        const QRect part = region.intersected(area);
        if (qint64(part.width()) * part.height() > qint64(onScreen.width()) * onScreen.height()) {
            onScreen = part;
        }
    }
    if (onScreen.isEmpty()) {
        showProblem(L::t(QStringLiteral("监视的区域不在屏幕上。")));
        return false;
    }
    std::unique_ptr<RegionReader> reader = makeReader();
    if (!reader->available()) {
        showProblem(L::t(QStringLiteral("这个桌面不允许 Sorn 监视屏幕区域。")));
        return false;
    }
    reader->setRegion(onScreen);
    m_reader = std::move(reader);
    m_region = onScreen;
    ++m_serial;
    m_signature.reset();
    m_dirty = false;
    m_lookedAt = m_clock.elapsed();
    m_lastText.reset();
    m_pending.reset();
    m_translating = false;
    m_failures = 0;
    m_paused = false;
    m_wasPinned = m_model.pinned();
    m_model.stop();

    Diagnostics::record(QStringLiteral("watch.started reader=%1 region=%2x%3")
                            .arg(m_reader->name())
                            .arg(onScreen.width())
                            .arg(onScreen.height()));
    m_model.setSource(QString());
    m_model.setTranslated(QString());
    m_model.setError(std::nullopt);
    setHint();
    m_card.showCardBeside(toLogical(onScreen));
    m_model.setPinned(true);
    Q_EMIT stateChanged();
    lookNow();
    return true;
}

void WatchFlow::stop(End why)
{
    const bool wasSelecting = selecting();
    const bool wasWatching = watching();
    ++m_serial;
    m_picking.cancel();
    m_picking = Cancellation();
    m_picker.reset(); // ends the selection tool and waits for its thread
    if (wasSelecting) {
        m_model.setCaptureInProgress(false);
    }
    m_lookTimer.stop();
    m_pauseTimer.stop();
    m_looking.cancel();
    m_looking = Cancellation();
    m_reading.cancel();
    m_reading = Cancellation();
    if (!m_readPath.isEmpty()) {
        QFile::remove(m_readPath);
        m_readPath.clear();
    }
    m_reader.reset();
    m_pending.reset();
    m_paused = false;
    if (!wasWatching) {
        if (wasSelecting) {
            Q_EMIT stateChanged();
        }
        return;
    }
    if (std::exchange(m_translating, false)) {
        m_model.stop(); // nothing of the watch goes on after it
    }
    if (!m_wasPinned) {
        m_model.setPinned(false);
    }
    if (why == End::Stopped) {
        m_model.setStatus(L::t(QStringLiteral("已停止监视区域")));
    }
    Diagnostics::record(QStringLiteral("watch.stopped reason=") + endName(why));
    Q_EMIT stateChanged();
}

void WatchFlow::scheduleLook(std::chrono::milliseconds after)
{
    if (watching() && !m_paused) {
        m_lookTimer.start(after);
    }
}

void WatchFlow::lookNow()
{
    if (!watching() || m_paused || m_looking.isValid()) {
        return;
    }
    const quint64 serial = m_serial;
    QPointer<WatchFlow> self(this);
    m_looking = m_reader->look([self, serial](Outcome<std::uint64_t> outcome) {
        if (!self || self->m_serial != serial) {
            return;
        }
        self->m_looking = Cancellation();
        if (!outcome) {
            if (!outcome.error().isCancelled()) {
                Diagnostics::record(QStringLiteral("watch.unreadable"));
                self->showProblem(L::t(QStringLiteral("监视的区域已无法读取，监视已停止。")));
                self->stop(End::Failed);
            }
            return;
        }
        self->looked(outcome.value());
    });
}

void WatchFlow::looked(std::uint64_t signature)
{
    const qint64 now = m_clock.elapsed();
    // A change is dated just after the last look that still saw the old picture, not when it is seen: a look
    // a quarter of a second after a still picture would otherwise add up to that much to every reading. A
    // change that goes on is seen again within a settling look, which keeps the wait honest.
    const qint64 changedAt = m_lookedAt;
    m_lookedAt = now;
    if (!m_signature) {
        // The first look: read what the region shows now, without waiting.
        m_signature = signature;
        m_dirty = true;
        m_firstChangeAt = m_lastChangeAt = now - m_timing.stillness.count();
    } else if (*m_signature != signature) {
        m_signature = signature;
        if (!m_dirty) {
            m_dirty = true;
            m_firstChangeAt = changedAt;
        }
        m_lastChangeAt = changedAt;
    }
    if (m_dirty && !m_reading.isValid()) {
        const bool still = now - m_lastChangeAt >= m_timing.stillness.count();
        const bool waitedLongest = now - m_firstChangeAt >= m_timing.longestWait.count();
        if (still || waitedLongest) {
            read();
        }
    }
    // Closer looks while a change settles; a picture that keeps changing (video) is looked at as one that does not.
    const bool settling = m_dirty && now - m_firstChangeAt < m_timing.longestWait.count();
    std::chrono::milliseconds next = settling ? m_timing.settlingLook : m_timing.look;
    // The look that ends the wait lands when the wait is over, not up to a settling look after it.
    const qint64 untilStill = m_lastChangeAt + m_timing.stillness.count() - now;
    if (settling && untilStill > 0 && untilStill < next.count()) {
        next = std::chrono::milliseconds(untilStill);
    }
    scheduleLook(next);
}

void WatchFlow::read()
{
    const QImage picture = m_reader->picture();
    const Outcome<QString> path = CaptureFlow::temporaryPath();
    if (picture.isNull() || !path) {
        return; // tried again at the next change
    }
    // Written uncompressed: the file lives for one recognition.
    if (!picture.save(path.value(), "PNG", 100)) {
        QFile::remove(path.value());
        return;
    }
    m_dirty = false;
    m_readPath = path.value();
    const quint64 serial = m_serial;
    QPointer<WatchFlow> self(this);
    m_reading = m_services.recognize(m_readPath, [self, serial](Outcome<QString> outcome) {
        if (!self || self->m_serial != serial) {
            return;
        }
        self->m_reading = Cancellation();
        QFile::remove(self->m_readPath);
        self->m_readPath.clear();
        self->recognised(std::move(outcome));
    });
}

void WatchFlow::recognised(Outcome<QString> outcome)
{
    if (!outcome) {
        // A region that shows no text for now (between two subtitles) keeps the last text on the card.
        Diagnostics::record(QStringLiteral("watch.unread reason=") + outcome.error().description());
        return;
    }
    const QString text = outcome.value().trimmed();
    if (m_lastText && *m_lastText == text) {
        return;
    }
    m_lastText = text;
    Diagnostics::record(QStringLiteral("watch.changed characters=%1").arg(text.size()));
    offer(text);
}

void WatchFlow::offer(const QString& text)
{
    if (m_translating || m_paused) {
        // Never a queue: the newest text is the one worth translating when the engine is free again.
        m_pending = text;
        Q_EMIT textRead(text);
        return;
    }
    send(text);
}

void WatchFlow::send(const QString& text)
{
    m_pending.reset();
    m_model.setSource(text);
    const QUuid before = m_model.generation();
    m_model.translate();
    if (m_model.generation() == before) {
        // Sending was declined: nothing will be translated while the watch goes on.
        stop(End::Declined);
        return;
    }
    m_translation = m_model.generation();
    m_translating = true;
    Q_EMIT textRead(text);
}

void WatchFlow::translationEnded(const QUuid& translation)
{
    if (m_model.generation() != translation || m_translating) {
        // Stopped from elsewhere (the card's stop button, an edit): a waiting text goes with the next change.
        return;
    }
    if (m_model.error()) {
        ++m_failures;
    } else {
        m_failures = 0;
        setHint();
    }
    if (m_failures >= m_timing.failuresBeforePause) {
        pauseWatch();
        return;
    }
    if (m_pending) {
        send(*m_pending);
    }
}

void WatchFlow::pauseWatch()
{
    m_paused = true;
    m_lookTimer.stop();
    Diagnostics::record(QStringLiteral("watch.paused failures=%1").arg(m_failures));
    const qint64 seconds = std::chrono::duration_cast<std::chrono::seconds>(m_timing.pause).count();
    m_model.setStatus(L::t(QStringLiteral("翻译多次失败，监视已暂停，%1 秒后继续。")).arg(qMax<qint64>(seconds, 1)));
    m_pauseTimer.start(m_timing.pause);
    Q_EMIT stateChanged();
}

void WatchFlow::resume()
{
    if (!watching()) {
        return;
    }
    m_paused = false;
    m_lookedAt = m_clock.elapsed(); // nothing was looked at while resting: no change is dated back into the rest
    // One more failure pauses again; the text that failed is tried once more, whatever is newer goes first.
    m_failures = m_timing.failuresBeforePause - 1;
    if (m_pending) {
        send(*m_pending);
    } else {
        m_lastText.reset();
        m_dirty = true;
    }
    Diagnostics::record(QStringLiteral("watch.resumed"));
    Q_EMIT stateChanged();
    if (watching()) {
        lookNow();
    }
}

void WatchFlow::screensChanged()
{
    if (!watching()) {
        return;
    }
    const QPoint centre = m_region.center();
    for (const QRect& area : screenAreas()) {
        if (area.contains(centre)) {
            return;
        }
    }
    showProblem(L::t(QStringLiteral("监视的区域已不在屏幕上，监视已停止。")));
    stop(End::ScreenGone);
}

void WatchFlow::showProblem(const QString& message)
{
    m_model.setError(message);
    m_card.showCard(std::nullopt);
}

void WatchFlow::setHint()
{
    m_model.setStatus(watchingHint());
}

} // namespace quilvant

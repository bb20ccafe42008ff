#pragma once

#include "capture/CaptureFlow.h"
#include "platform/RegionPicker.h"
#include "platform/RegionReader.h"

#include <QElapsedTimer>
#include <QObject>
#include <QRect>
#include <QTimer>
#include <QUuid>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace quilvant {

class CardHost;
class Model;

// Watching a region: the person drags a region as for a capture, and from then on the program looks at it a few
// times a second. A look costs a signature of the pixels and nothing more while the picture stands still; when
// it changed and has then stood still for a moment (or keeps changing for longer than a reading may wait, as
// subtitles over a moving picture do), the region is recognised again, and a text that differs from the last
// one becomes the model's source and is translated the usual way. One translation runs at a time: a text read
// meanwhile waits, and a newer one replaces it. Repeated failures pause the watch instead of sending again and
// again. One watch at a time; it lives on the GUI thread and waits there for nothing.
class WatchFlow final : public QObject
{
    Q_OBJECT

public:
    struct Services
    {
        // The selection tool of this session; nullptr where there is none.
        std::function<std::unique_ptr<RegionPicker>()> picker;
        // How this session's screen is looked at (unavailable where the desktop does not allow it).
        std::function<std::unique_ptr<RegionReader>()> reader;
        CaptureFlow::Services::Recognize recognize;

        // The program's own: Platform's picker and reader, Translation::recognize.
        static Services system();
    };

    struct Timing
    {
        std::chrono::milliseconds look{250};         // between looks while the picture stands still
        std::chrono::milliseconds settlingLook{50};  // between looks after a change, until it is read
        std::chrono::milliseconds stillness{300};    // unchanged this long after a change: read it
        std::chrono::milliseconds longestWait{1500}; // a picture that keeps changing is read this often
        std::chrono::milliseconds pause{30'000};     // how long the watch rests after repeated failures
        int failuresBeforePause = 3;
    };

    // Why a watch ended, as the log says it.
    enum class End
    {
        Stopped,    // the person stopped it (shortcut, menu)
        Closed,     // the card was closed
        Replaced,   // a capture or a new watch took over
        ScreenGone, // the region is no longer on a screen
        Failed,     // the region could not be read
        Declined,   // the person declined sending text for translation
    };

    WatchFlow(Model& model, CardHost& card, Services services, QObject* parent = nullptr);
    // Ends a running watch.
    ~WatchFlow() override;

    void setTiming(const Timing& timing) { m_timing = timing; }
    const Timing& timing() const { return m_timing; }

    // Lets the person drag a region and watches it; a running watch ends first. Ignored during a capture.
    void start();
    // Watches `region` (the display's own pixels), cut to the screen it lies on. False (the card says why) when
    // the region cannot be watched.
    bool watch(const QRect& region);
    void stop(End why = End::Stopped);

    bool selecting() const { return m_picking.isValid(); }
    bool watching() const { return m_reader != nullptr; }
    bool paused() const { return m_paused; }
    // Nothing to do until the picture changes: no change waiting to be read, no reading, no translation of the
    // watch's running or waiting.
    bool settled() const;
    // The watched region, in the display's own pixels.
    QRect region() const { return m_region; }
    // The setting of the watch shortcut's letter (Alt + letter): one of shortcutLetters(), "W" when absent or
    // anything else.
    static inline const QString shortcutKey = QStringLiteral("watchShortcut");
    static QString shortcutLetter();
    static QStringList shortcutLetters();

    // The status shown while watching, naming how to stop ("Alt+W" unless the setting says another letter).
    static QString watchingHint();

    // The region in the toolkit's coordinates (the card's), for `devicePixels` of the display.
    static QRect toLogical(const QRect& devicePixels);

Q_SIGNALS:
    // A watch began or ended, or its selection did (menus that name "Stop Watching" follow it).
    void stateChanged();
    // A text that differs from the last one was read and is now the card's source, or waits for its turn.
    void textRead(const QString& text);

private:
    std::unique_ptr<RegionReader> makeReader() const;
    void picked(std::optional<QRect> region);
    void scheduleLook(std::chrono::milliseconds after);
    void lookNow();
    void looked(std::uint64_t signature);
    void read();
    void recognised(Outcome<QString> outcome);
    void offer(const QString& text);
    void send(const QString& text);
    void translationEnded(const QUuid& translation);
    void pauseWatch();
    void resume();
    void screensChanged();
    void showProblem(const QString& message);
    void setHint();

    Model& m_model;
    CardHost& m_card;
    Services m_services;
    Timing m_timing;

    std::unique_ptr<RegionPicker> m_picker;
    Cancellation m_picking;
    std::unique_ptr<RegionReader> m_reader;
    QRect m_region;
    quint64 m_serial = 0; // a new one for every watch: a late answer of an ended one is dropped
    QTimer m_lookTimer;
    QTimer m_pauseTimer;
    Cancellation m_looking;
    Cancellation m_reading;
    QString m_readPath;
    std::optional<std::uint64_t> m_signature;
    bool m_dirty = false;
    QElapsedTimer m_clock;
    qint64 m_firstChangeAt = 0;
    qint64 m_lastChangeAt = 0;
    qint64 m_lookedAt = 0; // when the last look ended
    std::optional<QString> m_lastText;
    std::optional<QString> m_pending;
    bool m_translating = false;
    QUuid m_translation;
    int m_failures = 0;
    bool m_paused = false;
    bool m_wasPinned = false;
};

} // namespace quilvant

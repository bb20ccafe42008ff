#pragma once

#include "core/Async.h"
#include "core/Scheduler.h"
#include "session/CompletedTranslation.h"
#include "session/TranslationConsent.h"
#include "session/TranslationEngines.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUuid>
#include <chrono>
#include <functional>
#include <limits>
#include <memory>
#include <optional>

namespace quilvant {

// The one translation session: what the card shows (source, translation, status, error, flags) and the
// translation that produces it. Lives on the GUI thread and reports every change through its signals; it
// touches no window and does no network work itself. A translation that was stopped or superseded can never
// change it afterwards.
class Model final : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString source READ source WRITE setSource NOTIFY sourceChanged)
    Q_PROPERTY(QString translated READ translated WRITE setTranslated NOTIFY translatedChanged)
    Q_PROPERTY(QString status READ status WRITE setStatus NOTIFY statusChanged)
    Q_PROPERTY(QString error READ errorText NOTIFY errorChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(bool pinned READ pinned WRITE setPinned NOTIFY pinnedChanged)
    Q_PROPERTY(QString copied READ copied NOTIFY copiedChanged)
    Q_PROPERTY(bool sourceExpanded READ sourceExpanded WRITE setSourceExpanded NOTIFY sourceExpandedChanged)
    Q_PROPERTY(bool captureInProgress READ captureInProgress WRITE setCaptureInProgress NOTIFY captureInProgressChanged)

public:
    static constexpr std::chrono::milliseconds copyToastDuration{1400};

    explicit Model(std::shared_ptr<TranslationEngines> engines = TranslationEngines::shared(),
                   QObject* parent = nullptr);
    ~Model() override;

    const QString& source() const { return m_source; }
    const QString& translated() const { return m_translated; }
    // The status in the interface language of the moment: it is stored as its catalogue key (a text that is no
    // key shows as it is), so that it relabels with the rest of the card.
    QString status() const;
    const QString& statusKey() const { return m_status; }
    const std::optional<QString>& error() const { return m_error; }
    QString errorText() const { return m_error.value_or(QString()); }
    bool busy() const { return m_busy; }
    bool pinned() const { return m_pinned; }
    const QString& copied() const { return m_copied; }
    bool sourceExpanded() const { return m_sourceExpanded; }
    bool captureInProgress() const { return m_captureInProgress; }
    QUuid generation() const { return m_generation; }

    void setSource(const QString& value);
    void setTranslated(const QString& value);
    void setStatus(const QString& value);
    void setError(const std::optional<QString>& value);
    void setPinned(bool value);
    void setSourceExpanded(bool value);
    void setCaptureInProgress(bool value);
    // The capture flow shows recognition as busy work too; translate() and stop() set it themselves.
    void setBusy(bool value);

    // Written by the desktop shell: the card's window, when the card was last shown (seconds on Clock::uptime),
    // and how the card opens the settings.
    QObject* panel() const { return m_panel; }
    void setPanel(QObject* panel) { m_panel = panel; }
    double shownAt() const { return m_shownAt; }
    void setShownAt(double seconds) { m_shownAt = seconds; }
    const std::function<void()>& requestSettings() const { return m_requestSettings; }
    void setRequestSettings(std::function<void()> callback) { m_requestSettings = std::move(callback); }

    // Who asks for consent before the first translation (a dialog, a terminal prompt); not owned.
    void setConsentPrompt(ConsentPrompt* prompt) { m_consentPrompt = prompt; }
    // The copy toast's clock; QTimer by default.
    void setScheduler(Scheduler scheduler) { m_scheduler = std::move(scheduler); }

    // Starts translating the current source (nothing happens for a blank source or without consent).
    void translate();
    // Ends the current translation; nothing of it can reach the model afterwards.
    void stop();
    // The person changed the source text in the editor.
    void sourceEdited(const QString& text);
    // Puts `text` on the clipboard and shows the copy toast with `label` (nothing at all for empty text).
    void copy(const QString& text, const QString& label);

Q_SIGNALS:
    void sourceChanged();
    void translatedChanged();
    void statusChanged();
    void errorChanged();
    void busyChanged();
    void pinnedChanged();
    void copiedChanged();
    void sourceExpandedChanged();
    void captureInProgressChanged();
    // Once for each translation that ran to its end, after the card shows it; never for one that failed, was
    // stopped or was superseded.
    void translationCompleted(const quilvant::CompletedTranslation& completed);

private:
    template <typename T>
    void assign(T& field, const T& value, void (Model::*changed)());
    struct Job;

    void setCopied(const QString& value);
    bool isCurrent(const std::shared_ptr<Job>& job) const;
    void run(const std::shared_ptr<Job>& job);
    void succeed(const std::shared_ptr<Job>& job, const QString& translation);
    void fail(const std::shared_ptr<Job>& job, const Error& error);
    TextUpdate updateFor(const std::shared_ptr<Job>& job);

    std::shared_ptr<TranslationEngines> m_engines;
    QString m_source;
    QString m_translated;
    QString m_status;
    std::optional<QString> m_error;
    bool m_busy = false;
    bool m_pinned = false;
    QString m_copied;
    bool m_sourceExpanded = true;
    Cancellation m_copyToastTask;
    QPointer<QObject> m_panel;
    double m_shownAt = std::numeric_limits<double>::max();
    std::shared_ptr<Job> m_task;
    QUuid m_generation = QUuid::createUuid();
    bool m_captureInProgress = false;
    std::function<void()> m_requestSettings;
    ConsentPrompt* m_consentPrompt = nullptr;
    Scheduler m_scheduler;
};

} // namespace quilvant

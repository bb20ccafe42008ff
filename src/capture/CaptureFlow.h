#pragma once

#include "core/Async.h"
#include "platform/CaptureTool.h"

#include <QObject>
#include <QPoint>
#include <QUuid>
#include <functional>
#include <memory>

namespace quilvant {

class CardHost;
class Model;

// One capture from the trigger to the hand-off to translation: the outside tool lets the person drag a region
// into a temporary PNG, the picture's text is recognised, and the text becomes the model's source and is
// translated. The flow works on the GUI thread and never waits there: the tool and the recogniser run
// elsewhere and report back. Each capture holds the model's generation as its ticket; a capture whose ticket
// is no longer current leaves the model alone. The temporary file is deleted on every path.
class CaptureFlow final : public QObject
{
    Q_OBJECT

public:
    // What a capture uses, replaceable for tests.
    struct Services
    {
        // The tool for this capture (the settings are read at each capture).
        std::function<std::unique_ptr<CaptureTool>()> tool;
        // Whether the screen may be captured with `tool`, and how access is asked for when it may not.
        std::function<bool(const CaptureTool& tool)> permitted;
        std::function<void(const CaptureTool& tool)> requestAccess;
        // Text recognition of an image file, ended on the GUI thread.
        using Recognize = std::function<Cancellation(const QString& path, Completion<QString> done)>;
        Recognize recognize;
        // The pointer's position in global screen coordinates.
        std::function<QPoint()> pointer;

        // The program's own: the platform's tool and access, Translation::recognize, the cursor.
        static Services system();
    };

    CaptureFlow(Model& model, CardHost& card, Services services, QObject* parent = nullptr);
    // Ends a running capture: the tool and the recognition are stopped and the temporary file is deleted.
    ~CaptureFlow() override;

    // Starts a capture unless one is in progress.
    void capture();

    // "kestu-" + a fresh upper-case UUID + ".png" in the private temporary directory.
    static Outcome<QString> temporaryPath();

Q_SIGNALS:
    // A capture ended, whatever its outcome.
    void finished();

private:
    struct Run;
    void start(const std::shared_ptr<Run>& run);
    void toolEnded(const std::shared_ptr<Run>& run, Outcome<int> outcome);
    void recognised(const std::shared_ptr<Run>& run, Outcome<QString> outcome);
    void failed(const std::shared_ptr<Run>& run, const Error& error);
    void end(const std::shared_ptr<Run>& run);
    bool isCurrent(const std::shared_ptr<Run>& run) const;

    Model& m_model;
    CardHost& m_card;
    Services m_services;
    std::shared_ptr<Run> m_run;
};

} // namespace quilvant

#pragma once

#include "core/Async.h"
#include "core/Runner.h"

#include <QObject>
#include <QRect>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

namespace quilvant {

// The person drags a region of the screen, as for a capture, and the program learns where it is (in the
// display's own pixels) without taking a picture: slop on X11, slurp on wlroots desktops. The outcome is the
// region, nullopt when the person pressed Escape, or the error of a tool that failed or could not be started.
class RegionPicker final : public QObject
{
    Q_OBJECT

public:
    // Reads the tool's standard output into a region; nullopt when it is not one.
    using Parse = std::function<std::optional<QRect>(const QByteArray& output)>;

    static constexpr std::chrono::seconds timeLimit{180};

    RegionPicker(QString program, QStringList arguments, Parse parse, QObject* parent = nullptr);
    // Ends a running selection and waits for its thread.
    ~RegionPicker() override;

    // `slop -f "%x %y %w %h"`, X11's selection tool (the one maim uses).
    static std::unique_ptr<RegionPicker> slop();
    // `slurp`, which prints "X,Y WxH".
    static std::unique_ptr<RegionPicker> slurp();

    static std::optional<QRect> parseSlop(const QByteArray& output);
    static std::optional<QRect> parseSlurp(const QByteArray& output);

    QString program() const { return m_program; }
    bool available() const { return Runner::locate(m_program).has_value(); }
    // Starts the selection; `done` ends on the calling thread, never inside this call. Cancelling ends the tool.
    Cancellation pick(Completion<std::optional<QRect>> done);

private:
    struct Run;
    QString m_program;
    QStringList m_arguments;
    Parse m_parse;
    std::shared_ptr<Run> m_run;
};

} // namespace quilvant

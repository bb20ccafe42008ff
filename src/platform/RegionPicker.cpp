#include "platform/RegionPicker.h"

#include <QPointer>
#include <QRegularExpression>
#include <thread>

namespace quilvant {

struct RegionPicker::Run
{
    Runner runner;
    std::thread thread;
};

namespace {

std::optional<QRect> parsed(const QRegularExpression& pattern, const QByteArray& output)
{
    const QRegularExpressionMatch match = pattern.match(QString::fromUtf8(output).trimmed());
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    bool ok[4] = {};
    const QRect region(match.captured(1).toInt(&ok[0]), match.captured(2).toInt(&ok[1]),
                       match.captured(3).toInt(&ok[2]), match.captured(4).toInt(&ok[3]));
    if (!ok[0] || !ok[1] || !ok[2] || !ok[3] || region.isEmpty()) {
        return std::nullopt;
    }
    return region;
}

} // namespace

RegionPicker::RegionPicker(QString program, QStringList arguments, Parse parse, QObject* parent)
    : QObject(parent)
    , m_program(std::move(program))
    , m_arguments(std::move(arguments))
    , m_parse(std::move(parse))
{}

RegionPicker::~RegionPicker()
{
    if (m_run) {
        m_run->runner.terminate();
        if (m_run->thread.joinable()) {
            m_run->thread.join();
        }
    }
}

std::unique_ptr<RegionPicker> RegionPicker::slop()
{
    return std::make_unique<RegionPicker>(QStringLiteral("slop"),
                                          QStringList{QStringLiteral("-f"), QStringLiteral("%x %y %w %h")}, parseSlop);
}

std::unique_ptr<RegionPicker> RegionPicker::slurp()
{
    return std::make_unique<RegionPicker>(QStringLiteral("slurp"), QStringList{}, parseSlurp);
}

std::optional<QRect> RegionPicker::parseSlop(const QByteArray& output)
{
    static const QRegularExpression pattern(QStringLiteral("^(-?\\d{1,6}) (-?\\d{1,6}) (\\d{1,6}) (\\d{1,6})$"));
    return parsed(pattern, output);
}

std::optional<QRect> RegionPicker::parseSlurp(const QByteArray& output)
{
    static const QRegularExpression pattern(QStringLiteral("^(-?\\d{1,6}),(-?\\d{1,6}) (\\d{1,6})x(\\d{1,6})$"));
    return parsed(pattern, output);
}

Cancellation RegionPicker::pick(Completion<std::optional<QRect>> done)
{
    using Result = std::optional<QRect>;
    auto once = std::make_shared<Once<Result>>(std::move(done));
    if (m_run) {
        Once<Result>::finishLater(once, Error::system(QStringLiteral("a selection is already running")));
        return Cancellation([once] { Once<Result>::cancel(once); });
    }
    auto run = std::make_shared<Run>();
    m_run = run;
    QPointer<RegionPicker> self(this);
    run->thread = std::thread([self, run, once, program = m_program, arguments = m_arguments, parse = m_parse] {
        const Outcome<Runner::Result> result = run->runner.run(program, arguments, timeLimit);
        Outcome<Result> outcome = Result();
        if (!result) {
            outcome = result.error();
        } else if (result.value().status == 0) {
            if (const Result region = parse(result.value().output)) {
                outcome = region;
            } else {
                outcome = Error::system(QStringLiteral("%1 did not print a region").arg(program));
            }
        } else if (result.value().status >= 2) {
            outcome = Error::system(QStringLiteral("%1 failed (status %2)").arg(program).arg(result.value().status));
        }
        QMetaObject::invokeMethod(
            self.data(),
            [self, run, once, outcome = std::move(outcome)]() mutable {
                if (run->thread.joinable()) {
                    run->thread.join();
                }
                if (self) {
                    self->m_run.reset();
                }
                once->finish(std::move(outcome));
            },
            Qt::QueuedConnection);
    });
    std::weak_ptr<Run> weak = run;
    return Cancellation([once, weak] {
        if (const std::shared_ptr<Run> running = weak.lock()) {
            running->runner.terminate();
        }
        Once<Result>::cancel(once);
    });
}

} // namespace quilvant

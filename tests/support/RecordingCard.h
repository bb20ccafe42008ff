#pragma once

#include "core/Clock.h"
#include "session/CardHost.h"
#include "session/Model.h"

#include <QStringList>

namespace quilvant::test {

// The card's window as the capture flow and the shell see it, noting each call ("prepare", "show",
// "show@X,Y") and doing what the model needs of it (shownAt, the selection hint).
class RecordingCard final : public CardHost
{
public:
    explicit RecordingCard(Model& model)
        : m_model(model)
    {}

    QStringList calls;

    void showCard(std::optional<QPoint> anchor) override
    {
        calls.append(anchor ? QStringLiteral("show@%1,%2").arg(anchor->x()).arg(anchor->y()) : QStringLiteral("show"));
        m_model.setShownAt(Clock::uptime());
    }
    void showCardBeside(const QRect& region) override
    {
        calls.append(QStringLiteral("beside@%1,%2 %3x%4")
                         .arg(region.x())
                         .arg(region.y())
                         .arg(region.width())
                         .arg(region.height()));
        m_model.setShownAt(Clock::uptime());
    }
    void prepareCardForCapture() override
    {
        calls.append(QStringLiteral("prepare"));
        m_model.setStatus(QStringLiteral("selecting"));
    }

private:
    Model& m_model;
};

} // namespace quilvant::test

#pragma once

#include <QObject>
#include <QString>

namespace quilvant {

// A key combination that reaches the program whichever application has the focus: Alt + one letter.
class GlobalShortcut : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Registers Alt + `letter` (A to Z), replacing the earlier registration. Ends with registered() or
    // failed(), possibly before it returns.
    virtual void registerKey(QChar letter) = 0;
    // Gives the combination back; nothing is reported afterwards.
    virtual void unregister() = 0;

Q_SIGNALS:
    void activated();
    void registered();
    // The combination could not be had; `reason` says why, for the log.
    void failed(const QString& reason);
};

// Where no global shortcut can be had: every registration fails, and the desktop's own shortcut settings are
// the way (binding "quilvant --capture").
class NullGlobalShortcut final : public GlobalShortcut
{
    Q_OBJECT

public:
    explicit NullGlobalShortcut(QString reason, QObject* parent = nullptr)
        : GlobalShortcut(parent)
        , m_reason(std::move(reason))
    {}
    void registerKey(QChar) override { Q_EMIT failed(m_reason); }
    void unregister() override {}

private:
    QString m_reason;
};

} // namespace quilvant

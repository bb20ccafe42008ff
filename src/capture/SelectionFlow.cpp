#include "capture/SelectionFlow.h"

#include "core/Diagnostics.h"
#include "foundation/L.h"
#include "session/CardHost.h"
#include "session/Model.h"

#include <QPointer>

namespace quilvant {

namespace {

QString fromName(SelectedText::From from)
{
    switch (from) {
    case SelectedText::From::Primary:
        return QStringLiteral("primary");
    case SelectedText::From::Clipboard:
        return QStringLiteral("clipboard");
    case SelectedText::From::Nothing:
        break;
    }
    return QStringLiteral("nothing");
}

} // namespace

SelectionFlow::SelectionFlow(Model& model, CardHost& card, std::unique_ptr<SelectionReader> reader,
                             std::function<QPoint()> pointer, QObject* parent)
    : QObject(parent)
    , m_model(model)
    , m_card(card)
    , m_reader(std::move(reader))
    , m_pointer(std::move(pointer))
{}

SelectionFlow::~SelectionFlow()
{
    m_read.cancel();
}

void SelectionFlow::translateSelection()
{
    if (m_model.captureInProgress()) {
        Diagnostics::record(QStringLiteral("selection.ignored reason=capture"));
        return;
    }
    // A press while translating starts over with the new selection; the old translation can no longer land.
    m_read.cancel();
    m_model.stop();
    const QUuid ticket = m_model.generation();
    const QPoint pointer = m_pointer();
    Diagnostics::record(QStringLiteral("selection.started"));
    if (m_reader->access() == SelectionReader::Access::None) {
        Diagnostics::record(QStringLiteral("selection.unavailable"));
        showMessage(
            L::t(QStringLiteral("无法读取选中文字")),
            L::t(QStringLiteral("这个桌面不让程序读取选中的文字。请安装 wl-clipboard，或复制文字后粘贴到上方。")),
            pointer);
        Q_EMIT finished();
        return;
    }
    QPointer<SelectionFlow> self(this);
    m_read = m_reader->read(byteLimit, [self, ticket, pointer](Outcome<SelectedText> outcome) {
        if (self) {
            self->m_read = Cancellation();
            self->selectionRead(ticket, pointer, std::move(outcome));
        }
    });
}

void SelectionFlow::showMessage(const QString& status, const std::optional<QString>& error, const QPoint& pointer)
{
    m_model.setSource(QString());
    m_model.setTranslated(QString());
    m_model.setError(error);
    m_model.setStatus(status);
    m_card.showCard(pointer);
}

void SelectionFlow::selectionRead(const QUuid& ticket, const QPoint& pointer, Outcome<SelectedText> outcome)
{
    if (!outcome && outcome.error().isCancelled()) {
        return;
    }
    if (m_model.generation() != ticket || m_model.captureInProgress()) {
        // Something newer (a stop, a capture, another press) owns the card now.
        Diagnostics::record(QStringLiteral("selection.superseded"));
        return;
    }
    if (!outcome) {
        Diagnostics::record(QStringLiteral("selection.failed"));
        showMessage(L::t(QStringLiteral("无法读取选中文字")), L::t(outcome.error().description()), pointer);
        Q_EMIT finished();
        return;
    }
    const SelectedText& selected = outcome.value();
    const qsizetype characters = static_cast<qsizetype>(selected.text.toUcs4().size());
    if (selected.tooLarge || characters > maxCharacters) {
        Diagnostics::record(QStringLiteral("selection.too-large from=%1").arg(fromName(selected.from)));
        showMessage(L::t(QStringLiteral("翻译未完成")), L::t(QStringLiteral("文字过长，请缩小选区。")), pointer);
        Q_EMIT finished();
        return;
    }
    if (selected.text.trimmed().isEmpty()) {
        Diagnostics::record(QStringLiteral("selection.empty"));
        showMessage(L::t(QStringLiteral("没有选中的文字")), std::nullopt, pointer);
        Q_EMIT finished();
        return;
    }
    Diagnostics::record(
        QStringLiteral("selection.read from=%1 characters=%2").arg(fromName(selected.from)).arg(characters));
    m_model.setSource(selected.text);
    m_model.setTranslated(QString());
    m_model.setError(std::nullopt);
    m_card.showCard(pointer);
    m_model.translate();
    if (m_model.generation() == ticket) {
        // No translation started (the person declined the consent).
        m_model.setStatus(L::t(QStringLiteral("准备就绪")));
    }
    Q_EMIT finished();
}

} // namespace quilvant

#pragma once

#include "core/Async.h"
#include "platform/SelectionReader.h"

#include <QObject>
#include <QPoint>
#include <QUuid>
#include <functional>
#include <memory>

namespace quilvant {

class CardHost;
class Model;

// Translating the selected text: read what the person has highlighted (or copied), make it the model's
// source and translate it as a capture's text would be, the card next to the pointer. Nothing is sent for an
// empty selection or one larger than the engines accept. Each press holds the model's generation as its ticket,
// so a later press, a capture or a stop leaves the model alone.
class SelectionFlow final : public QObject
{
    Q_OBJECT

public:
    // The longest source the engines accept, in characters (the hosted service's limit).
    static constexpr qsizetype maxCharacters = 5000;
    // What is read of a selection at most: a little more than maxCharacters of any script in UTF-8.
    static constexpr qsizetype byteLimit = maxCharacters * 4 + 1024;

    SelectionFlow(Model& model, CardHost& card, std::unique_ptr<SelectionReader> reader,
                  std::function<QPoint()> pointer, QObject* parent = nullptr);
    ~SelectionFlow() override;

    const SelectionReader& reader() const { return *m_reader; }

    // Reads the selection and translates it; a capture in progress goes on undisturbed.
    void translateSelection();

Q_SIGNALS:
    // A press was handled to its end: translating, or a message on the card.
    void finished();

private:
    void selectionRead(const QUuid& ticket, const QPoint& pointer, Outcome<SelectedText> outcome);
    void showMessage(const QString& status, const std::optional<QString>& error, const QPoint& pointer);

    Model& m_model;
    CardHost& m_card;
    std::unique_ptr<SelectionReader> m_reader;
    std::function<QPoint()> m_pointer;
    Cancellation m_read;
};

} // namespace quilvant

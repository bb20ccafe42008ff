#pragma once

#include "platform/SelectionReader.h"
#include "platform/X11Connection.h"

#include <QTimer>
#include <memory>

namespace quilvant {

// The selection on X11, asked of its owner over a connection of our own: PRIMARY as UTF8_STRING (STRING when
// the owner has no UTF-8, the plain text of its text/html when it offers only that), then CLIPBOARD when
// PRIMARY held nothing. Large answers arrive in increments (INCR);
// the limit ends the transfer early. The owner has two seconds for each answer.
class X11SelectionReader final : public SelectionReader
{
    Q_OBJECT

public:
    static constexpr int answerMilliseconds = 2000;
    // Markup is read up to this many times the limit, for the plain text inside it to reach the limit.
    static constexpr qsizetype markupAllowance = 4;

    // nullptr without an X display.
    static std::unique_ptr<X11SelectionReader> create(QObject* parent = nullptr);
    ~X11SelectionReader() override;

    Access access() const override { return Access::Primary; }
    Cancellation read(qsizetype limit, Completion<SelectedText> done) override;

private:
    struct Read;
    X11SelectionReader(std::unique_ptr<X11Connection> connection, QObject* parent);
    xcb_atom_t atom(const char* name) const;
    void ask(xcb_atom_t selection, xcb_atom_t target);
    // Sends what is buffered.
    void send();
    void handle(const xcb_generic_event_t& event);
    void answered(const xcb_selection_notify_event_t& event);
    void chunkArrived();
    // Takes the property's value off our window (deleting it, which tells an incremental owner to go on).
    bool takeProperty(QByteArray* value, xcb_atom_t* type, bool* more);
    // How many bytes the current target may bring.
    qsizetype budget() const;
    // Ends the read with the bytes read as plain text (or with the next selection when they hold none).
    void complete();
    void nothingFrom(xcb_atom_t selection);
    void finish(Outcome<SelectedText> outcome);

    std::unique_ptr<X11Connection> m_x;
    xcb_window_t m_window = 0;
    xcb_atom_t m_clipboard = 0, m_utf8 = 0, m_html = 0, m_incr = 0, m_property = 0;
    QTimer m_timer;
    std::shared_ptr<Read> m_read;
};

} // namespace quilvant

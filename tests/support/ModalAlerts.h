#pragma once

#include <QImage>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <memory>

namespace quilvant::test {

// What a modal message box showed. The answer waiting for it is given up with the record.
struct SeenAlert
{
    QString text;
    QString informative;
    QStringList buttons;           // left to right, as shown
    bool informativeWraps = false; // a line of the informative text is broken in two as laid out
    QImage picture;                // the box as shown
    std::unique_ptr<QTimer> poll;
};

// Answers the next modal message box by pressing the button labelled `answer` (rejecting it when there is no
// such button), and records what it showed in `seen`, as long as `seen` lives.
void answerNextAlert(const QString& answer, SeenAlert* seen);

} // namespace quilvant::test

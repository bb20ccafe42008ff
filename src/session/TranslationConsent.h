#pragma once

#include <QString>
#include <QUrl>

// The privacy consent asked before the first translation. The question itself is put by whoever runs the
// program (a dialog in the desktop program, a terminal prompt in the command-line mode), so the session stays
// free of widgets.
namespace quilvant {

class ConsentPrompt
{
public:
    enum class Answer
    {
        Agree,
        Cancel,
        PrivacyPolicy,
    };

    virtual ~ConsentPrompt() = default;
    // Puts the question modally and returns the answer.
    virtual Answer ask() = 0;
};

namespace TranslationConsent {

// The marker of the notice the person agreed to; any other stored value counts as no consent.
inline const QString marker = QStringLiteral("norvel-sift-1");

// Whether the stored marker is the current one.
bool given();

// The privacy page ("privacy/" under the service website), or an empty URL when no website is configured.
QUrl privacyPage();

// True when text may be sent: at once when consent was given, otherwise after asking `prompt`. Agreeing stores
// the marker; the privacy-policy answer opens the page and, like Cancel, returns false. Without a prompt
// nothing can be asked and the answer is false.
bool ensure(ConsentPrompt* prompt);

} // namespace TranslationConsent

} // namespace quilvant

#include "session/TranslationConsent.h"

#include "foundation/Settings.h"

#include <QDesktopServices>

namespace quilvant::TranslationConsent {

bool given()
{
    return Settings::translationPrivacyConsent() == marker;
}

QUrl privacyPage()
{
    const QString website = Settings::serviceWebsite().trimmed();
    if (website.isEmpty()) {
        return {};
    }
    QUrl base(website.endsWith(QLatin1Char('/')) ? website : website + QLatin1Char('/'));
    if (!base.isValid() || base.isRelative()) {
        return {};
    }
    return base.resolved(QUrl(QStringLiteral("privacy/")));
}

bool ensure(ConsentPrompt* prompt)
{
    if (given()) {
        return true;
    }
    if (prompt == nullptr) {
        return false;
    }
    switch (prompt->ask()) {
    case ConsentPrompt::Answer::Agree:
        Settings::setValue(Settings::Key::translationPrivacyConsent, marker);
        return true;
    case ConsentPrompt::Answer::PrivacyPolicy:
        if (const QUrl page = privacyPage(); page.isValid() && !page.isEmpty()) {
            QDesktopServices::openUrl(page);
        }
        return false;
    case ConsentPrompt::Answer::Cancel:
        return false;
    }
    return false;
}

} // namespace quilvant::TranslationConsent

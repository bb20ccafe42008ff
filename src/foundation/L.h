#pragma once

#include <QString>
#include <QStringList>

// The interface text catalogue. Every user-facing text is written as its Chinese wording, which is also its
// key; L::t gives the text in the interface language and shows the brand as "Quilvant".
namespace quilvant::L {

// Whether the interface is Chinese: the uiLanguage setting, or for "system" the first preferred UI language.
bool chinese();

// The display text of `key` in the current interface language; a text that is not a key comes back unchanged.
// Every "Sorn" becomes "Quilvant", and a text that names Alt+D names the shortcut that is set.
QString t(const QString& key);

// The rule behind chinese(): "zh" is Chinese, "system" follows the first of `preferredLanguages` ("en" when
// there is none), anything else is English.
bool chineseFor(const QString& uiLanguage, const QStringList& preferredLanguages);

// The system's preferred UI languages, most preferred first (on Linux from LANGUAGE, LC_ALL, LC_MESSAGES, LANG).
QStringList systemLanguages();

// t() for a given interface language, independent of the settings.
QString text(const QString& key, bool chineseInterface);

// Key of the one-sentence privacy notice of the consent alert.
extern const QString consentNoticeKey;

} // namespace quilvant::L

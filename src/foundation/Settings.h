#pragma once

#include "core/Outcome.h"

#include <QString>
#include <QVariant>
#include <optional>

namespace quilvant::Settings {

// Keys of the settings store, as stored.
namespace Key {
inline const QString engine = QStringLiteral("engine");
inline const QString language = QStringLiteral("language");
inline const QString uiLanguage = QStringLiteral("uiLanguage");
inline const QString shortcut = QStringLiteral("shortcut");
inline const QString codexPath = QStringLiteral("codexPath");
inline const QString codexModel = QStringLiteral("codexModel");
inline const QString endpoint = QStringLiteral("endpoint");
inline const QString minimaxModel = QStringLiteral("minimaxModel");
inline const QString minimaxThinking = QStringLiteral("minimaxThinking");
inline const QString onboarded = QStringLiteral("onboarded");
inline const QString translationPrivacyConsent = QStringLiteral("translationPrivacyConsent");
inline const QString serviceURL = QStringLiteral("serviceURL");
inline const QString serviceWebsite = QStringLiteral("serviceWebsite");
inline const QString captureTool = QStringLiteral("captureTool");
inline const QString keepHistory = QStringLiteral("keepHistory");
} // namespace Key

// The chat-completions endpoints of the provider: international (the default) and mainland China.
inline const QString defaultEndpoint = QStringLiteral("https://api.minimax.io/v1/chat/completions");
inline const QString chinaEndpoint = QStringLiteral("https://api.minimaxi.com/v1/chat/completions");

// Where the settings live: $XDG_CONFIG_HOME/quilvant/quilvant.conf (INI).
QString filePath();

// Whether the stored settings can be read: fine when the file is missing (the defaults apply); a failure naming
// the file when it is there but cannot be read (no permission, a folder, not valid INI), since every reader
// would silently fall back to its default.
Outcome<void> readable();

// The stored value of `key`, read fresh from the store; an override of the in-memory layer comes first.
// Absent keys give nullopt, and every reader supplies its own default.
std::optional<QVariant> value(const QString& key);
QString string(const QString& key, const QString& fallback = {});
bool boolean(const QString& key, bool fallback = false);

// Writes and removals (and the overrides below) are announced by SettingsNotifier.
void setValue(const QString& key, const QVariant& value);
void remove(const QString& key);

// The in-memory override layer: values that win over the store for the life of the process (or until
// cleared) without being written. Command-line overrides and the interface checks use it.
void setOverride(const QString& key, const QVariant& value);
void clearOverride(const QString& key);
void clearOverrides();

// Typed readers with the defaults the program uses when a key is absent.
QString engine();          // as stored; the hosted service's name when absent (Engines::fromSettings reads it)
QString language();        // "zh-Hans"
QString uiLanguage();      // "system"
QString shortcut();        // "D"; only "D", "T" or "S" (the letter of Alt + letter), anything else gives "D"
QString codexPath();       // ""
QString codexModel();      // "" (as stored; callers trim)
QString endpoint();        // defaultEndpoint
QString minimaxModel();    // ""
QString minimaxThinking(); // "disabled"
bool onboarded();          // false
bool keepHistory();        // true: finished translations are kept in the history on this computer
std::optional<QString> translationPrivacyConsent();
QString serviceURL();     // "" (no hosted service configured)
QString serviceWebsite(); // ""

} // namespace quilvant::Settings

#pragma once

#include <QString>
#include <array>
#include <optional>

namespace quilvant {

// The translation engines a person can choose between.
enum class EngineKind
{
    Hosted,  // the hosted translation service
    MiniMax, // the chat-completions provider, with the person's own key
    Codex    // the agent CLI
};

namespace Engines {

// In the order the settings offer them.
inline constexpr std::array<EngineKind, 3> all{EngineKind::Hosted, EngineKind::MiniMax, EngineKind::Codex};

// The engine a stored `engine` value names. Nothing stored, or the hosted service's name, is the hosted service;
// the provider's name is the provider; every other value (the agent CLI's name, and values no version wrote) is
// the agent CLI, which is what the settings window has always shown for them.
EngineKind fromStored(const std::optional<QString>& stored);

// The engine the stored settings name now.
EngineKind fromSettings();

// The value the settings store for `kind`.
QString storedName(EngineKind kind);

// The engine as the settings offer it, in the interface language: its name and what it is.
QString label(EngineKind kind);

// The engine named on the command line, in any case ("hosted", "quilvant" and the stored names); nothing for
// other names.
std::optional<EngineKind> fromCommandLine(const QString& name);

} // namespace Engines

} // namespace quilvant

#pragma once

#include "core/Async.h"
#include "core/Outcome.h"

#include <QString>
#include <QStringList>
#include <optional>

// `quilvant --translate`: one translation through the session model, for scripts and terminals.
namespace quilvant::CommandLineTranslation {

struct Request
{
    QString text;                  // the words after the flag joined by single spaces; empty: read standard input
    bool fromInput = true;         // no words followed the flag
    std::optional<QString> engine; // --engine NAME, as the engine setting stores it
    std::optional<QString> target; // --to CODE, as the language setting stores it
};

// Reads the command line (the program name left out). Unknown engines and languages are refused.
Outcome<Request> parse(const QStringList& arguments);

// Translates and prints the translation to standard output; the failure's description is the message to show.
// Settings named on the command line override the stored ones for this run only.
void run(const QStringList& arguments, Completion<void> done);

} // namespace quilvant::CommandLineTranslation

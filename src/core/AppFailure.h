#pragma once

#include <QString>

namespace quilvant {

// A failure meant for the person using the program. The message is already in the interface language
// (normally L::t of a Chinese catalogue key) and is shown as it stands.
struct AppFailure
{
    QString message;
};

} // namespace quilvant

#pragma once

#include <functional>

class QWidget;

namespace quilvant::ui::WelcomeAlert {

// The first-launch welcome: a modal message box with "Get started" and "Later". Whatever the answer, the
// welcome counts as shown (`onboarded`); "Get started" then calls `openSettings`. Returns whether it did.
bool show(QWidget* parent, const std::function<void()>& openSettings);

} // namespace quilvant::ui::WelcomeAlert

#include "ui/WatchSettings.h"

#include "capture/WatchFlow.h"
#include "foundation/L.h"
#include "foundation/Settings.h"
#include "foundation/SettingsNotifier.h"
#include "platform/Platform.h"
#include "ui/CardParts.h"
#include "ui/settings/FormControls.h"

#include <QComboBox>
#include <QLabel>

namespace quilvant::WatchSettings {

QWidget* makeControl()
{
    if (!Platform::regionReader()->available()) {
        auto* unavailable = new QLabel;
        unavailable->setObjectName(QStringLiteral("watchUnavailable"));
        unavailable->setWordWrap(true);
        unavailable->setFont(card::pixelFont(13));
        const auto refresh = [unavailable] {
            unavailable->setText(L::t(QStringLiteral("这个桌面不允许 Sorn 监视屏幕区域。")));
        };
        refresh();
        QObject::connect(SettingsNotifier::instance(), &SettingsNotifier::changed, unavailable,
                         [refresh](const QString& key) {
                             if (key == Settings::Key::uiLanguage) {
                                 refresh();
                             }
                         });
        return unavailable;
    }

    QComboBox* picker = settings::picker(QStringLiteral("watchShortcut"));
    picker->setMinimumWidth(84); // it shares its row with the capture shortcut's picker
    for (const QString& letter : WatchFlow::shortcutLetters()) {
        picker->addItem(QStringLiteral("Alt+") + letter, letter);
    }
    settings::selectData(picker, WatchFlow::shortcutLetter());
    QObject::connect(picker, &QComboBox::currentIndexChanged, picker,
                     [picker] { Settings::setValue(WatchFlow::shortcutKey, picker->currentData().toString()); });
    QObject::connect(SettingsNotifier::instance(), &SettingsNotifier::changed, picker, [picker](const QString& key) {
        if (key == WatchFlow::shortcutKey) {
            settings::selectData(picker, WatchFlow::shortcutLetter());
        }
    });
    return picker;
}

} // namespace quilvant::WatchSettings

#include "ui/WatchSettings.h"

#include "capture/WatchFlow.h"
#include "foundation/L.h"
#include "foundation/Settings.h"
#include "foundation/SettingsNotifier.h"
#include "platform/Platform.h"

#include <QComboBox>
#include <QHBoxLayout>

namespace quilvant::WatchSettings {

namespace {

QFont rowFont(QFont font)
{
    font.setPixelSize(13);
    return font;
}

} // namespace

Row makeRow()
{
    auto* label = new QLabel;
    label->setFont(rowFont(label->font()));
    auto* control = new QWidget;
    auto* layout = new QHBoxLayout(control);
    layout->setContentsMargins(0, 0, 0, 0);

    QComboBox* picker = nullptr;
    QLabel* unavailable = nullptr;
    if (Platform::regionReader()->available()) {
        picker = new QComboBox;
        picker->setObjectName(QStringLiteral("watchShortcut"));
        picker->setFixedWidth(230); // as wide as the other pickers, so that their arrows line up
        picker->setFont(rowFont(picker->font()));
        for (const QString& letter : WatchFlow::shortcutLetters()) {
            picker->addItem(QStringLiteral("Alt+") + letter, letter);
        }
        picker->setCurrentIndex(picker->findData(WatchFlow::shortcutLetter()));
        QObject::connect(picker, &QComboBox::currentIndexChanged, picker,
                         [picker] { Settings::setValue(WatchFlow::shortcutKey, picker->currentData().toString()); });
        layout->addWidget(picker);
    } else {
        unavailable = new QLabel;
        unavailable->setObjectName(QStringLiteral("watchUnavailable"));
        unavailable->setWordWrap(true);
        unavailable->setFixedWidth(230);
        unavailable->setFont(rowFont(unavailable->font()));
        layout->addWidget(unavailable);
    }

    const auto refresh = [label, picker, unavailable] {
        label->setText(L::t(QStringLiteral("监视区域快捷键")));
        if (unavailable != nullptr) {
            unavailable->setText(L::t(QStringLiteral("这个桌面不允许 Sorn 监视屏幕区域。")));
        }
        if (picker != nullptr) {
            const QSignalBlocker quiet(picker);
            picker->setCurrentIndex(picker->findData(WatchFlow::shortcutLetter()));
        }
    };
    refresh();
    QObject::connect(SettingsNotifier::instance(), &SettingsNotifier::changed, control, [refresh](const QString& key) {
        if (key == Settings::Key::uiLanguage || key == WatchFlow::shortcutKey) {
            refresh();
        }
    });
    return {label, control};
}

} // namespace quilvant::WatchSettings

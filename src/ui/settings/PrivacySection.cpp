#include "ui/settings/PrivacySection.h"

#include "foundation/L.h"
#include "ui/HistorySettings.h"

#include <QLabel>

namespace quilvant::settings {

PrivacySection::PrivacySection(QWidget* parent)
    : Section(parent)
    , m_caption(caption())
{
    addWide(m_caption);
    addWide(new HistorySettings);
}

void PrivacySection::retranslate()
{
    setTitle(L::t(QStringLiteral("隐私")));
    m_caption->setText(L::t(QStringLiteral("服务隐私说明")));
}

} // namespace quilvant::settings

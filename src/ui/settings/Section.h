#pragma once

#include "ui/settings/FormSection.h"

#include <QObject>

namespace quilvant::settings {

// One part of the settings form, in a file of its own. The form builds its sections once, in order, then asks
// each to relabel when the interface language changes and to show the stored values when a setting changes; a
// section stores its own settings the moment the person changes them. Controls made with FormControls (fields,
// pickers, buttons, switches) take the form's look and its label column without more work.
class Section : public FormSection
{
    Q_OBJECT

public:
    using FormSection::FormSection;

    virtual void retranslate() = 0;
    // Shows the stored values (and hides an engine's section while another engine is chosen).
    virtual void loadValues() {}
    // Before each showing of the window, outside previews: reads what has to be fetched, such as keyring values.
    virtual void prepareToShow() {}

Q_SIGNALS:
    // The form's result line: the outcome of a save or of a toggle that failed.
    void said(const QString& message);
};

} // namespace quilvant::settings

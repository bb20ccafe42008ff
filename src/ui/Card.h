#pragma once

#include "ui/SornPalette.h"

#include <QPointer>
#include <QWidget>

class QLabel;
class QVBoxLayout;

namespace quilvant {

class HeaderDragView;
class IconControl;
class Model;
class SourceEditor;
namespace card {
class BrandMark;
class CopyNotice;
class DisclosureButton;
class Divider;
class ElidingLabel;
class MainButton;
class Spinner;
class TranslationText;
} // namespace card

// The translation card: a header with the brand and the settings, pin and close buttons, the collapsible source
// field, the target language and the translation with its error line, and a footer with the status and the
// Translate/Stop button. Every state it shows comes from the model; it redraws from the model's signals and
// relabels itself when the interface language changes.
class Card final : public QWidget
{
    Q_OBJECT

public:
    explicit Card(Model* model, QWidget* parent = nullptr);

    void setTheme(const Theme& theme);
    const Theme& theme() const { return m_theme; }
    // Opaque: the background fills the whole widget (no rounded corners), for desktops without a compositor.
    void setOpaque(bool opaque);
    // Fades and the collapse animation; off for rendering previews.
    void setAnimated(bool animated) { m_animated = animated; }

    // Shows or hides the copy notice with `label` (what was copied; the words do not depend on it).
    void showCopyNotice(const QString& label, bool animated);

    HeaderDragView* header() const { return m_header; }

Q_SIGNALS:
    // The close button: the owner records it, stops the model and hides the card's window.
    void closeRequested();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void buildHeader(QVBoxLayout* layout);
    void buildSource(QVBoxLayout* layout);
    void buildTranslation(QVBoxLayout* layout);
    void buildFooter(QVBoxLayout* layout);
    void connectModel();

    void retranslate();
    void showSource();
    void showTranslation();
    void showBusy();
    void showPinned();
    void showExpanded(bool animated);
    void mainButtonClicked();

    QPointer<Model> m_model;
    Theme m_theme = Theme::forLook(false);
    bool m_opaque = false;
    bool m_animated = true;

    HeaderDragView* m_header = nullptr;
    card::BrandMark* m_brand = nullptr;
    QLabel* m_name = nullptr;
    card::CopyNotice* m_copyNotice = nullptr;
    IconControl* m_settings = nullptr;
    IconControl* m_pin = nullptr;
    IconControl* m_close = nullptr;
    card::DisclosureButton* m_sourceToggle = nullptr;
    IconControl* m_copySource = nullptr;
    QWidget* m_sourceBox = nullptr;
    SourceEditor* m_sourceEditor = nullptr;
    card::Divider* m_divider = nullptr;
    QLabel* m_language = nullptr;
    IconControl* m_copyTranslation = nullptr;
    QWidget* m_errorLine = nullptr;
    QLabel* m_errorIcon = nullptr;
    QLabel* m_errorText = nullptr;
    card::TranslationText* m_translation = nullptr;
    QWidget* m_emptyState = nullptr;
    QLabel* m_emptyTitle = nullptr;
    QLabel* m_emptyHint = nullptr;
    card::Spinner* m_spinner = nullptr;
    card::ElidingLabel* m_status = nullptr;
    card::MainButton* m_mainButton = nullptr;
};

} // namespace quilvant

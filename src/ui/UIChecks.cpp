#include "ui/UIChecks.h"

#include "core/Console.h"
#include "core/EventLoop.h"
#include "core/PrivateTempDir.h"
#include "foundation/EngineKind.h"
#include "foundation/L.h"
#include "foundation/Settings.h"
#include "platform/X11Window.h"
#include "session/Model.h"
#include "ui/Card.h"
#include "ui/CardWindow.h"
#include "ui/ConsentDialog.h"
#include "ui/FloatingPanel.h"
#include "ui/SettingsView.h"
#include "ui/SettingsWindow.h"
#include "ui/SornSourceTextView.h"
#include "ui/StockLook.h"

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QTimer>

namespace quilvant {

namespace {

const QString sampleSource =
    QStringLiteral("File upload is becoming an essential part of any application. Users can upload a photo, their "
                   "CV, or a video showcasing a project.");
const QString sampleTranslation =
    QStringLiteral("文件上传正在成为任何应用程序中必不可少的一部分。用户可以上传照片、简历，或展示项目的视频。\n\n"
                   "在屏幕上框选英文，就能在这里读到译文；固定窗口后，浏览别处时译文也会留在原处。");

Error failed(const QString& what)
{
    return Error::app(what);
}

Outcome<void> checkChrome(CardWindow& window)
{
    FloatingPanel* panel = window.panel();
    if (panel == nullptr) {
        return failed(QStringLiteral("the card has no window after showCard"));
    }
    if (!panel->windowFlags().testFlag(Qt::FramelessWindowHint)) {
        return failed(QStringLiteral("the card's window has a title bar"));
    }
    const int band = panel->translucent() ? FloatingPanel::hitBand : 0;
    if (window.card()->geometry() != panel->rect().adjusted(band, band, -band, -band)) {
        return failed(QStringLiteral("the card does not fill its window (a gap under a title bar?)"));
    }
    const int w = panel->width();
    const int h = panel->height();
    const struct
    {
        QPoint point;
        Qt::Edges edges;
        const char* name;
    } expectations[] = {
        {{0, 0}, Qt::TopEdge | Qt::LeftEdge, "top-left corner"},
        {{w - 1, 0}, Qt::TopEdge | Qt::RightEdge, "top-right corner"},
        {{w / 2, 1}, Qt::TopEdge, "1 point below the middle of the top edge"},
        {{1, h / 2}, Qt::LeftEdge, "1 point right of the middle of the left edge"},
        {{w - 1 + 20, h / 2}, Qt::Edges(), "20 points right of the right edge"},
    };
    for (const auto& expected : expectations) {
        if (panel->edgesAt(expected.point) != expected.edges) {
            return failed(QStringLiteral("wrong resize edges at the %1").arg(QLatin1String(expected.name)));
        }
    }
    return {};
}

Outcome<void> checkPasteTrigger()
{
    SornSourceTextView view;
    view.resize(300, 100);
    int triggered = 0;
    view.setOnEmptyPaste([&triggered](const QString&) { ++triggered; });
    // A private clipboard: the person's own clipboard is never touched.
    QMimeData clipboard;
    clipboard.setText(QStringLiteral("Paste me once."));

    view.pasteFrom(&clipboard);
    if (triggered != 1 || view.toPlainText() != QStringLiteral("Paste me once.")) {
        return failed(QStringLiteral("a paste into the empty field did not translate exactly the pasted text"));
    }
    view.pasteFrom(&clipboard);
    if (triggered != 1) {
        return failed(QStringLiteral("a paste into a field with text translated"));
    }
    view.clear();
    view.pasteFrom(&clipboard);
    if (triggered != 2) {
        return failed(QStringLiteral("a paste into the cleared field did not translate"));
    }
    view.selectAll();
    view.pasteFrom(&clipboard);
    if (triggered != 3) {
        return failed(QStringLiteral("a paste over the whole text did not translate"));
    }
    view.clear();
    for (const QChar c : QStringLiteral("Typing")) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(&view, &press);
    }
    if (triggered != 3 || view.toPlainText() != QStringLiteral("Typing")) {
        return failed(QStringLiteral("typing into the empty field translated"));
    }
    return {};
}

Outcome<void> savePreview(QWidget* widget, const QString& dir, const QString& name, bool withBackground = false)
{
    EventLoop::turn(60);
    const QString file = QDir(dir).filePath(name);
    // Drawn on transparency without the window's background, so the card's own rounded corners show.
    const qreal ratio = widget->devicePixelRatioF();
    QPixmap image(widget->size() * ratio);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::transparent);
    widget->render(&image, QPoint(), QRegion(),
                   withBackground ? QWidget::DrawWindowBackground | QWidget::DrawChildren : QWidget::DrawChildren);
    if (!image.save(file, "PNG")) {
        return failed(QStringLiteral("cannot write %1").arg(file));
    }
    return {};
}

Outcome<void> renderCardPreviews(CardWindow& window, Model& model, const QString& dir)
{
    FloatingPanel* panel = window.panel();
    Card* card = window.card();
    const int band = panel->translucent() ? FloatingPanel::hitBand : 0;
    const QSize shownSize = panel->size();
    panel->resize(430 + 2 * band, 500 + 2 * band);
    card->setAnimated(false);
    // The designed look, rounded and translucent, whatever this display can blend.
    card->setOpaque(false);

    const struct
    {
        const char* file;
        bool expanded;
        bool dark;
        bool copied;
    } previews[] = {
        {"expanded-light.png", true, false, false},
        {"expanded-dark.png", true, true, false},
        {"collapsed-dark.png", false, true, false},
        {"copied-light.png", true, false, true},
    };
    for (const auto& preview : previews) {
        model.setSourceExpanded(preview.expanded);
        window.setForcedDark(preview.dark);
        card->showCopyNotice(preview.copied ? QStringLiteral("译文") : QString(), false);
        if (Outcome<void> saved = savePreview(card, dir, QString::fromLatin1(preview.file)); !saved) {
            return saved;
        }
    }
    card->showCopyNotice(QString(), false);
    model.setSourceExpanded(true);
    window.setForcedDark(std::nullopt);
    card->setOpaque(!panel->translucent());
    card->setAnimated(true);
    panel->resize(shownSize);
    return {};
}

// The card with a failed translation over partial text, in both looks and both interface languages.
Outcome<void> renderErrorPreviews(CardWindow& window, Model& model, const QString& dir)
{
    Card* card = window.card();
    card->setAnimated(false);
    card->setOpaque(false);
    model.setSourceExpanded(false);
    model.setTranslated(QString()); // the error line alone, as after a refusal
    for (const bool chinese : {false, true}) {
        Settings::setOverride(Settings::Key::uiLanguage, chinese ? QStringLiteral("zh") : QStringLiteral("en"));
        model.setError(L::t(QStringLiteral("翻译失败，请重试。此次不扣额度。")));
        for (const bool dark : {false, true}) {
            window.setForcedDark(dark);
            const QString name = QStringLiteral("error-%1-%2.png")
                                     .arg(chinese ? QStringLiteral("zh") : QStringLiteral("en"),
                                          dark ? QStringLiteral("dark") : QStringLiteral("light"));
            if (Outcome<void> saved = savePreview(card, dir, name); !saved) {
                return saved;
            }
        }
    }
    Settings::setOverride(Settings::Key::uiLanguage, QStringLiteral("en"));
    model.setError(std::nullopt);
    model.setTranslated(sampleTranslation);
    model.setSourceExpanded(true);
    window.setForcedDark(std::nullopt);
    card->setAnimated(true);
    return {};
}

// Texts longer than their fields, so that both scroll bars show.
Outcome<void> renderLongTextPreviews(CardWindow& window, Model& model, const QString& dir)
{
    Card* card = window.card();
    card->setAnimated(false);
    card->setOpaque(false);
    model.setSource(QStringList(4, sampleSource).join(QLatin1Char('\n')));
    model.setTranslated(QStringList(3, sampleTranslation).join(QStringLiteral("\n\n")));
    for (const bool dark : {false, true}) {
        window.setForcedDark(dark);
        const QString name = dark ? QStringLiteral("long-dark.png") : QStringLiteral("long-light.png");
        if (Outcome<void> saved = savePreview(card, dir, name); !saved) {
            return saved;
        }
    }
    model.setSource(sampleSource);
    model.setTranslated(sampleTranslation);
    window.setForcedDark(std::nullopt);
    card->setAnimated(true);
    return {};
}

// The consent question as it shows (laid out by its own exec), in both looks and both languages.
Outcome<void> renderConsentPreviews(const QString& dir)
{
    for (const bool chinese : {false, true}) {
        Settings::setOverride(Settings::Key::uiLanguage, chinese ? QStringLiteral("zh") : QStringLiteral("en"));
        for (const bool dark : {false, true}) {
            const QString name = QStringLiteral("consent-%1-%2.png")
                                     .arg(chinese ? QStringLiteral("zh") : QStringLiteral("en"),
                                          dark ? QStringLiteral("dark") : QStringLiteral("light"));
            Outcome<void> saved = failed(QStringLiteral("the consent question did not show"));
            QTimer poll;
            poll.setInterval(20);
            QObject::connect(&poll, &QTimer::timeout, &poll, [&] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                if (box == nullptr || !box->isVisible()) {
                    return;
                }
                poll.stop();
                // The look the desktop would give it, whichever this display prefers.
                const Theme theme = Theme::forLook(dark);
                box->setPalette(theme.widgetPalette());
                StockLook::styleControls(box, theme);
                saved = savePreview(box, dir, name, true);
                box->reject();
            });
            poll.start();
            ui::ConsentDialog().ask();
            if (!saved) {
                return saved;
            }
        }
    }
    Settings::setOverride(Settings::Key::uiLanguage, QStringLiteral("en"));
    return {};
}

Outcome<void> renderSettingsPreview(const QString& dir)
{
    const struct
    {
        const char* file;
        const char* uiLanguage;
        EngineKind engine;
        bool dark;
    } previews[] = {
        {"settings-english.png", "en", EngineKind::Hosted, false},
        // The chat-completions engine has the tallest section: it must fit the window in either language.
        {"settings-en-light.png", "en", EngineKind::MiniMax, false},
        {"settings-en-dark.png", "en", EngineKind::MiniMax, true},
        {"settings-zh-light.png", "zh", EngineKind::MiniMax, false},
        {"settings-zh-dark.png", "zh", EngineKind::MiniMax, true},
    };
    for (const auto& preview : previews) {
        Settings::setOverride(Settings::Key::uiLanguage, QString::fromLatin1(preview.uiLanguage));
        Settings::setOverride(Settings::Key::engine, Engines::storedName(preview.engine));
        SettingsWindow settings;
        settings.view()->setPreview(true);
        settings.setForcedDark(preview.dark);
        settings.resize(SettingsWindow::initialSize);
        settings.present();
        Outcome<void> saved = savePreview(&settings, dir, QString::fromLatin1(preview.file));
        settings.close();
        if (!saved) {
            return saved;
        }
    }
    Settings::setOverride(Settings::Key::uiLanguage, QStringLiteral("en"));
    Settings::setOverride(Settings::Key::engine, Engines::storedName(EngineKind::Hosted));
    return {};
}

Outcome<void> checkCollapseState(CardWindow& window, Model& model)
{
    model.setSourceExpanded(false);
    window.closeCard(); // as a click elsewhere closes it
    window.showCard(std::nullopt);
    if (model.sourceExpanded()) {
        return failed(QStringLiteral("the collapsed source opened again when the card was shown again"));
    }
    window.prepareCardForCapture();
    if (model.sourceExpanded()) {
        return failed(QStringLiteral("the collapsed source opened again when a capture was prepared"));
    }
    const Model fresh;
    if (!fresh.sourceExpanded()) {
        return failed(QStringLiteral("a new session does not start with the source expanded"));
    }
    return {};
}

} // namespace

Outcome<QString> SornUIChecks::defaultOutputDir()
{
    const Outcome<QString> base = PrivateTempDir::path();
    if (!base) {
        return base.error();
    }
    return QString(base.value() + QStringLiteral("/ui-previews"));
}

Outcome<void> SornUIChecks::run(const QString& outputDir)
{
    // Volatile settings: nothing is written to the person's stored settings.
    Settings::setOverride(Settings::Key::uiLanguage, QStringLiteral("en"));
    Settings::setOverride(Settings::Key::language, QStringLiteral("zh-Hans"));
    Settings::setOverride(Settings::Key::engine, Engines::storedName(EngineKind::Hosted));

    Model model;
    CardWindow window(&model);
    model.setSource(sampleSource);
    model.setTranslated(sampleTranslation);
    model.setStatus(QStringLiteral("翻译完成"));

    window.showCard(std::nullopt);
    EventLoop::turn(50);
    if (Outcome<void> chrome = checkChrome(window); !chrome) {
        return chrome;
    }
    if (Outcome<void> paste = checkPasteTrigger(); !paste) {
        return paste;
    }
    if (!QDir().mkpath(outputDir)) {
        return failed(QStringLiteral("cannot create %1").arg(outputDir));
    }
    if (Outcome<void> cards = renderCardPreviews(window, model, outputDir); !cards) {
        return cards;
    }
    if (Outcome<void> errors = renderErrorPreviews(window, model, outputDir); !errors) {
        return errors;
    }
    if (Outcome<void> longTexts = renderLongTextPreviews(window, model, outputDir); !longTexts) {
        return longTexts;
    }
    if (Outcome<void> consent = renderConsentPreviews(outputDir); !consent) {
        return consent;
    }
    if (Outcome<void> settings = renderSettingsPreview(outputDir); !settings) {
        return settings;
    }
    if (Outcome<void> collapse = checkCollapseState(window, model); !collapse) {
        return collapse;
    }
    window.panel()->hide();
    Console::printLine(QStringLiteral(
        "PASS: no titlebar gap, four edge hit areas, outside dismissal, paste-only auto trigger, session collapse "
        "state"));
    Console::printLine(QStringLiteral("Previews: ") + outputDir);
    return {};
}

Outcome<void> WindowRegressionTest::run()
{
    if (!X11Window::available()) {
        return failed(QStringLiteral("needs an X11 display (the X server reports whether a window is viewable)"));
    }
    Model model;
    CardWindow window(&model);
    // Time for a window manager to map the window; without one it is viewable at once.
    constexpr int mapWait = 3000;

    window.showCard(QCursor::pos());
    EventLoop::turn(250);
    auto* panel = qobject_cast<QWidget*>(model.panel());
    if (panel == nullptr) {
        return failed(QStringLiteral("the model holds no card window after showCard"));
    }
    const auto viewable = [panel] { return X11Window::isViewable(panel->winId()); };
    if (!EventLoop::turnUntil(viewable, mapWait)) {
        return failed(QStringLiteral("the card's window is not viewable after it was first shown"));
    }

    X11Window::releaseInputFocus();
    EventLoop::turn(250);
    if (!viewable()) {
        return failed(QStringLiteral("the card's window was hidden when the program lost the focus"));
    }

    model.setPinned(true);
    const QRect frame = panel->frameGeometry();
    window.prepareCardForCapture();
    EventLoop::turn(50);
    if (!viewable()) {
        return failed(QStringLiteral("the pinned card was hidden for a capture"));
    }
    window.showCard(frame.topLeft() + QPoint(200, -200));
    EventLoop::turn(50);
    if (panel->frameGeometry() != frame) {
        return failed(QStringLiteral("the pinned card moved when it was shown at another point"));
    }

    model.setPinned(false);
    window.prepareCardForCapture();
    if (panel->isVisible() || !EventLoop::turnUntil([&viewable] { return !viewable(); }, mapWait)) {
        return failed(QStringLiteral("the unpinned card is still shown after a capture was prepared"));
    }
    Console::printLine(QStringLiteral(
        "PASS: first presentation on screen, inactive app, pinned reselection, pinned position, unpinned capture"));
    panel->hide();
    return {};
}

} // namespace quilvant

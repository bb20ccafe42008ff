#include "app/PointerRule.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace quilvant;

class TestPointerRule : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Only a press elsewhere, after the card was shown, on a visible unpinned card and outside a capture closes it.
    void closesCard_data()
    {
        QTest::addColumn<PointerRule::Card>("card");
        QTest::addColumn<PointerRule::Press>("press");
        QTest::addColumn<bool>("closes");
        const PointerRule::Card open{
            .exists = true, .visible = true, .frame = QRect(100, 100, 200, 100), .shownAt = 10};
        const PointerRule::Press elsewhere{.position = QPoint(10, 10), .at = 11};
        auto card = [&open](auto change) {
            PointerRule::Card changed = open;
            change(changed);
            return changed;
        };
        auto press = [&elsewhere](auto change) {
            PointerRule::Press changed = elsewhere;
            change(changed);
            return changed;
        };
        QTest::newRow("outside an open card") << open << elsewhere << true;
        QTest::newRow("no card") << card([](auto& c) { c.exists = false; }) << elsewhere << false;
        QTest::newRow("on the card's own window") << open << press([](auto& p) { p.onCard = true; }) << false;
        QTest::newRow("on another window of ours") << open << press([](auto& p) { p.onOwnWindow = true; }) << false;
        QTest::newRow("card hidden") << card([](auto& c) { c.visible = false; }) << elsewhere << false;
        QTest::newRow("inside the frame") << open << press([](auto& p) { p.position = QPoint(150, 150); }) << false;
        QTest::newRow("inside the margin, right")
            << open << press([](auto& p) { p.position = QPoint(302, 150); }) << false;
        QTest::newRow("just past the margin, right")
            << open << press([](auto& p) { p.position = QPoint(303, 150); }) << true;
        QTest::newRow("inside the margin, top left")
            << open << press([](auto& p) { p.position = QPoint(97, 97); }) << false;
        QTest::newRow("just past the margin, left")
            << open << press([](auto& p) { p.position = QPoint(96, 150); }) << true;
        QTest::newRow("position unknown (focus lost)")
            << open << press([](auto& p) { p.position = std::nullopt; }) << true;
        QTest::newRow("pinned") << card([](auto& c) { c.pinned = true; }) << elsewhere << false;
        QTest::newRow("capture in progress") << card([](auto& c) { c.captureInProgress = true; }) << elsewhere << false;
        QTest::newRow("stamped when shown") << open << press([](auto& p) { p.at = 10; }) << false;
        QTest::newRow("stamped before shown") << open << press([](auto& p) { p.at = 9.5; }) << false;
    }
    void closesCard()
    {
        QFETCH(bool, closes);
        QFETCH(PointerRule::Card, card);
        QFETCH(PointerRule::Press, press);
        QCOMPARE(PointerRule::closesCard(card, press), closes);
    }
};

QTEST_GUILESS_MAIN(TestPointerRule)
#include "tst_pointerrule.moc"

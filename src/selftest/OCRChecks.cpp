#include "selftest/OCRChecks.h"

#include "core/Console.h"
#include "selftest/Fixture.h"

namespace quilvant::OCRChecks {

namespace {

struct Row
{
    QString language;
    QString text;
    QString fragment;
};

} // namespace

Outcome<void> run()
{
    const Row rows[] = {
        {QStringLiteral("English"), QStringLiteral("Keep reading and stay curious."), QStringLiteral("reading")},
        {QStringLiteral("French"), QStringLiteral("La curiosité ouvre de nouvelles portes."),
         QStringLiteral("curiosité")},
        {QStringLiteral("Chinese"), QStringLiteral("保持好奇，发现新的世界。"), QStringLiteral("世界")},
        {QStringLiteral("Japanese"), QStringLiteral("新しい世界を見つけましょう。"), QStringLiteral("世界")},
        {QStringLiteral("Korean"), QStringLiteral("새로운 세상을 발견하세요."), QStringLiteral("세상")},
    };
    for (const Row& row : rows) {
        const QImage image = Fixture::draw(row.text, QSize(1500, 180), QPointF(35, 65), 44);
        const Outcome<QString> text = Fixture::recognize(image, QStringLiteral("quilvant-ocr-fixture-"));
        if (!text) {
            return text.error();
        }
        if (!text.value().contains(row.fragment)) {
            return AppFailure{row.language + QStringLiteral(" OCR mismatch: ") + text.value()};
        }
        Console::printLine(QStringLiteral("PASS: ") + row.language + QStringLiteral(" OCR"));
    }
    return {};
}

} // namespace quilvant::OCRChecks

// The reader must give the same updates and the same end whatever the network's cut points, and what it
// publishes must never show a reasoning tag or surrounding white space. The visible text, kept up to date piece by
// piece, must equal at every step what the plain rule makes of the whole text so far.
#include "../FuzzPieces.h"
#include "chatstream/MiniMaxEventReader.h"
#include "chatstream/VisibleText.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QStringList>
#include <cstdint>
#include <cstdlib>
#include <optional>

using namespace quilvant;
using quilvant::fuzz::check;

namespace {

struct Result
{
    QStringList published;
    bool ok = false;
    QString text;
    std::optional<StreamFailure> error;
};

Result read(QByteArrayView body, QByteArrayView cuts)
{
    Result result;
    MiniMaxEventReader reader([&result](const QString& text) { result.published.append(text); });
    bool failed = false;
    fuzz::feedInPieces(body, cuts, [&](QByteArrayView piece) {
        if (reader.stopped()) {
            return false;
        }
        if (auto fed = reader.feed(piece); !fed) {
            result.error = fed.error();
            failed = true;
            return false;
        }
        return true;
    });
    if (failed) {
        return result;
    }
    StreamOutcome<QString> end = reader.finish();
    result.ok = end.ok();
    if (end) {
        result.text = end.value();
    } else {
        result.error = end.error();
    }
    return result;
}

// The rule as written: complete blocks removed (non-greedy), then cut at a "<think>" still there, then a tag still
// arriving dropped from the end, then white space trimmed. Whole-text work each time; fine for a fuzzer's inputs.
QString plainVisible(const QString& text)
{
    static const QRegularExpression block(QStringLiteral("<think>.*?</think>"),
                                          QRegularExpression::DotMatchesEverythingOption);
    const QString open = QStringLiteral("<think>");
    QString result = text;
    result.remove(block);
    if (const qsizetype at = result.indexOf(open); at >= 0) {
        result.truncate(at);
    }
    for (qsizetype k = open.size() - 1; k >= 1; --k) {
        if (result.endsWith(QStringView(open).left(k))) {
            result.chop(k);
            break;
        }
    }
    return result.trimmed();
}

void checkVisibleText(const QString& text, QByteArrayView cuts)
{
    VisibleText visible;
    qsizetype position = 0;
    qsizetype cut = 0;
    while (position < text.size()) {
        const qsizetype length = cut < cuts.size() ? static_cast<unsigned char>(cuts[cut++]) % 16 + 1 : 1;
        const qsizetype end = std::min(text.size(), position + length);
        const QString before = visible.text();
        const bool changed = visible.append(QStringView(text).sliced(position, end - position));
        position = end;
        check(visible.text() == plainVisible(text.left(position)));
        check(changed == (visible.text() != before));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    const auto [first, cuts, body] = fuzz::splitInput(data, size);

    const Result whole = read(body, {});
    const Result pieces = read(body, cuts);
    check(whole.published == pieces.published);
    check(whole.ok == pieces.ok && whole.text == pieces.text && whole.error == pieces.error);
    for (qsizetype i = 0; i < whole.published.size(); ++i) {
        const QString& text = whole.published[i];
        check(!text.contains(QStringLiteral("<think>")));
        check(text == text.trimmed());
        check(i == 0 || text != whole.published[i - 1]);
    }
    if (whole.ok) {
        check(!whole.text.isEmpty() && !whole.published.isEmpty() && whole.published.constLast() == whole.text);
    }
    checkVisibleText(QString::fromUtf8(body), cuts);
    return 0;
}

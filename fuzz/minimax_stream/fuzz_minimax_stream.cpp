// The reader must give the same updates and the same end whatever the network's cut points, and what it
// publishes must never show a reasoning tag or surrounding white space.
#include "../FuzzPieces.h"
#include "engines/minimax/MiniMaxEventReader.h"
#include "foundation/Settings.h"

#include <QByteArray>
#include <QStringList>
#include <cstdint>
#include <cstdlib>

using namespace quilvant;
using quilvant::fuzz::check;

namespace {

struct Result
{
    QStringList published;
    bool ok = false;
    QString text;
    QString error;
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
            result.error = fed.error().description();
            failed = true;
            return false;
        }
        return true;
    });
    if (failed) {
        return result;
    }
    Outcome<QString> end = reader.finish();
    result.ok = end.ok();
    if (end) {
        result.text = end.value();
    } else {
        result.error = end.error().description();
    }
    return result;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Settings::setOverride(Settings::Key::uiLanguage, QStringLiteral("en"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    // The first byte says how many of the following bytes are cut lengths.
    const QByteArrayView input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const qsizetype cutCount = std::min<qsizetype>(static_cast<unsigned char>(input[0]) % 32, input.size() - 1);
    const QByteArrayView cuts = input.sliced(1, cutCount);
    const QByteArrayView body = input.sliced(1 + cutCount);

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
    return 0;
}

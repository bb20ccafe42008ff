#include "engines/minimax/MiniMaxMessages.h"

#include "foundation/L.h"

namespace quilvant {

Error streamError(const StreamFailure& failure)
{
    using Kind = StreamFailure::Kind;
    switch (failure.kind) {
    case Kind::EventTooLarge:
        return AppFailure{L::t(MiniMaxMessage::eventTooLarge)};
    case Kind::BodyTooLarge:
        return AppFailure{L::t(MiniMaxMessage::bodyTooLarge)};
    case Kind::NotJson:
        // Where the event stopped being JSON: a description for whoever reads the error, not a catalogue text.
        return Error::system(failure.detail);
    case Kind::NotAnObject:
        return AppFailure{L::t(MiniMaxMessage::invalidStream)};
    case Kind::Server: {
        QString message = failure.detail;
        if (failure.http == 401 || failure.http == 403) {
            message += L::chinese()
                           ? QStringLiteral("\n请检查 Key 与国内站／国际站地址是否匹配。")
                           : QStringLiteral("\nCheck that your key matches the China or international endpoint.");
        }
        return AppFailure{message};
    }
    case Kind::Truncated:
        return AppFailure{L::t(MiniMaxMessage::streamTruncated)};
    case Kind::Incomplete:
        return AppFailure{L::t(MiniMaxMessage::incomplete)};
    case Kind::BodyTruncated:
        return AppFailure{L::t(MiniMaxMessage::bodyTruncated)};
    case Kind::NoTranslation:
        break;
    }
    return AppFailure{L::t(MiniMaxMessage::noTranslation)};
}

} // namespace quilvant

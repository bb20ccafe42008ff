#include "foundation/Secrets.h"

#include "foundation/L.h"

#include <QCoreApplication>
#include <QPointer>
#include <QStringDecoder>
#include <QThreadPool>
#include <libsecret/secret.h>
#include <optional>

namespace quilvant::Secrets {

namespace {

// Items written by other tools (secret-tool, an older version) carry no schema name, so lookups must not
// require one.
const SecretSchema* schema()
{
    static const SecretSchema instance = {
        "local.kestu.translation",
        SECRET_SCHEMA_DONT_MATCH_NAME,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
    };
    return &instance;
}

struct Attributes
{
    explicit Attributes(const QString& account)
        : serviceValue(service.toUtf8())
        , accountValue(account.toUtf8())
        , table(g_hash_table_new(g_str_hash, g_str_equal))
    {
        g_hash_table_insert(table, const_cast<char*>("service"), serviceValue.data());
        g_hash_table_insert(table, const_cast<char*>("account"), accountValue.data());
    }
    ~Attributes() { g_hash_table_unref(table); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;

    QByteArray serviceValue;
    QByteArray accountValue;
    GHashTable* table;
};

struct ErrorHolder
{
    ~ErrorHolder()
    {
        if (error != nullptr) {
            g_error_free(error);
        }
    }
    GError* error = nullptr;
};

// The Secret Service proxy, talked to over D-Bus directly: the default libsecret entry points may pick a
// file backend, and the key must never land in a file we did not ask for. nullptr with `why` set when no
// keyring answers.
SecretService* connectService(QString* why)
{
    ErrorHolder failure;
    SecretService* keyring = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &failure.error);
    if (keyring == nullptr) {
        *why = failure.error != nullptr ? QString::fromUtf8(failure.error->message) : QString();
    }
    return keyring;
}

QString label(const QString& account)
{
    return account == minimaxAccount ? QStringLiteral("Quilvant: MiniMax API key")
                                     : QStringLiteral("Quilvant: %1").arg(account);
}

QString unavailable(const QString& why)
{
    return L::t(QStringLiteral("无法访问系统钥匙串：%1")).arg(why);
}

// A line break would end a request's header early. A tab is kept: headers may carry it, and keys are stored as
// given, white space included.
bool hasControlCharacter(const QString& key)
{
    for (const QChar c : key) {
        if ((c.unicode() < 0x20 && c != QLatin1Char('\t')) || (c.unicode() >= 0x7f && c.unicode() <= 0x9f)) {
            return true;
        }
    }
    return false;
}

// The items with the two attributes, unlocked where the keyring can do that (it may ask the person), with their
// secrets when `withSecrets`. nullptr and `why` set when the search itself failed.
GList* search(SecretService* keyring, const Attributes& attributes, bool withSecrets, bool* failed, QString* why)
{
    ErrorHolder failure;
    const int flags = SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK | (withSecrets ? SECRET_SEARCH_LOAD_SECRETS : 0);
    GList* items = secret_service_search_sync(keyring, schema(), attributes.table,
                                              static_cast<SecretSearchFlags>(flags), nullptr, &failure.error);
    *failed = failure.error != nullptr;
    if (*failed) {
        *why = QString::fromUtf8(failure.error->message);
    }
    return items;
}

} // namespace

QString Stored::message() const
{
    switch (state) {
    case State::Found:
    case State::Absent:
        return {};
    case State::Unavailable:
        return unavailable(detail);
    case State::Locked:
        return L::t(QStringLiteral("钥匙串已锁定，请先解锁再重试。"));
    case State::NotUtf8:
        return L::t(QStringLiteral("钥匙串中保存的内容不是有效的 UTF-8 文本，请在设置中重新保存。"));
    }
    return {};
}

Outcome<QString> Stored::text() const
{
    if (state == State::Found || state == State::Absent) {
        return value;
    }
    return AppFailure{message()};
}

Stored read(const QString& account)
{
    Stored stored;
    SecretService* keyring = connectService(&stored.detail);
    if (keyring == nullptr) {
        stored.state = Stored::State::Unavailable;
        return stored;
    }
    const Attributes attributes(account);
    bool failed = false;
    GList* items = search(keyring, attributes, true, &failed, &stored.detail);
    g_object_unref(keyring);
    if (failed) {
        stored.state = Stored::State::Unavailable;
        return stored;
    }
    std::optional<QByteArray> data;
    for (GList* item = items; item != nullptr && !data; item = item->next) {
        auto* entry = static_cast<SecretItem*>(item->data);
        SecretValue* value = secret_item_get_locked(entry) == FALSE ? secret_item_get_secret(entry) : nullptr;
        if (value != nullptr) {
            gsize length = 0;
            const gchar* bytes = secret_value_get(value, &length);
            data = QByteArray(bytes, static_cast<qsizetype>(length));
            secret_value_unref(value);
        }
    }
    const bool anyItem = items != nullptr;
    g_list_free_full(items, g_object_unref);
    if (!data) {
        // Items that stayed locked (the unlock prompt was dismissed or could not be shown) hold a value that
        // is not "absent".
        stored.state = anyItem ? Stored::State::Locked : Stored::State::Absent;
        return stored;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
    stored.value = decoder.decode(*data);
    stored.state = decoder.hasError() ? Stored::State::NotUtf8 : Stored::State::Found;
    if (decoder.hasError()) {
        stored.value.clear();
    }
    return stored;
}

Outcome<void> save(const QString& key, const QString& account)
{
    if (hasControlCharacter(key)) {
        return AppFailure{L::t(QStringLiteral("密钥不能包含控制字符（例如换行）。"))};
    }
    QString why;
    SecretService* keyring = connectService(&why);
    if (keyring == nullptr) {
        return AppFailure{unavailable(why)};
    }
    const Attributes attributes(account);
    if (key.isEmpty()) {
        ErrorHolder failure;
        secret_service_clear_sync(keyring, schema(), attributes.table, nullptr, &failure.error);
        g_object_unref(keyring);
        // Nothing to remove is no failure: clear reports that without an error.
        if (failure.error != nullptr) {
            return AppFailure{L::t(QStringLiteral("无法从钥匙串中删除 API Key。"))};
        }
        return {};
    }
    bool failed = false;
    // Update first, so that a new value never leaves a second item behind; extra items (written by another
    // tool with other attributes besides these two) are removed for the same reason.
    GList* items = search(keyring, attributes, false, &failed, &why);
    if (failed) {
        g_object_unref(keyring);
        return AppFailure{unavailable(why)};
    }
    const QByteArray bytes = key.toUtf8();
    SecretValue* value = secret_value_new(bytes.constData(), bytes.size(), "text/plain");
    Outcome<void> outcome;
    if (items != nullptr) {
        auto* first = static_cast<SecretItem*>(items->data);
        if (secret_item_get_locked(first) != FALSE) {
            outcome = AppFailure{Stored{Stored::State::Locked, {}, {}}.message()};
        } else {
            bool updated = secret_item_set_secret_sync(first, value, nullptr, nullptr) != FALSE;
            for (GList* extra = items->next; updated && extra != nullptr; extra = extra->next) {
                updated = secret_item_delete_sync(static_cast<SecretItem*>(extra->data), nullptr, nullptr) != FALSE;
            }
            if (!updated) {
                outcome = AppFailure{L::t(QStringLiteral("无法更新钥匙串中的 API Key。"))};
            }
        }
        g_list_free_full(items, g_object_unref);
    } else {
        const QByteArray itemLabel = label(account).toUtf8();
        ErrorHolder addFailure;
        // Stored without the schema's name, so that the item carries exactly the two attributes.
        if (secret_service_store_sync(keyring, nullptr, attributes.table, SECRET_COLLECTION_DEFAULT,
                                      itemLabel.constData(), value, nullptr, &addFailure.error) == FALSE) {
            outcome = AppFailure{L::t(QStringLiteral("无法将 API Key 保存到钥匙串。"))};
        }
    }
    secret_value_unref(value);
    g_object_unref(keyring);
    return outcome;
}

namespace {

// Runs `work` on a worker thread and hands its result to `done` on the GUI thread. Delivered through the
// application object; the receiver is checked there, where it could be deleted, not on the worker.
template <typename T>
void offThread(QObject* context, std::function<T()> work, std::function<void(T)> done)
{
    QPointer<QObject> receiver(context);
    QThreadPool::globalInstance()->start([receiver, work = std::move(work), done = std::move(done)]() mutable {
        T value = work();
        QCoreApplication* application = QCoreApplication::instance();
        if (application == nullptr) {
            return;
        }
        QMetaObject::invokeMethod(
            application,
            [receiver, done = std::move(done), value = std::move(value)]() mutable {
                if (receiver) {
                    done(std::move(value));
                }
            },
            Qt::QueuedConnection);
    });
}

} // namespace

void readLater(const QString& account, QObject* context, std::function<void(const Stored&)> done)
{
    offThread<Stored>(
        context, [account] { return read(account); }, [done = std::move(done)](const Stored& stored) { done(stored); });
}

void saveLater(const QString& key, const QString& account, QObject* context, Completion<void> done)
{
    offThread<Outcome<void>>(
        context, [key, account] { return save(key, account); },
        [done = std::move(done)](Outcome<void> outcome) { done(std::move(outcome)); });
}

} // namespace quilvant::Secrets

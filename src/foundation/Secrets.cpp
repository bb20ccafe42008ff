#include "foundation/Secrets.h"

#include "foundation/L.h"

#include <QCoreApplication>
#include <QPointer>
#include <QStringDecoder>
#include <QThreadPool>
#include <libsecret/secret.h>

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
// file backend, and the key must never land in a file we did not ask for.
SecretService* connectService()
{
    ErrorHolder failure;
    return secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &failure.error);
}

enum class Lookup
{
    Found,
    Missing,
    Failed,
};

Lookup lookup(SecretService* keyring, const QString& account, QByteArray* data)
{
    const Attributes attributes(account);
    ErrorHolder failure;
    SecretValue* value = secret_service_lookup_sync(keyring, schema(), attributes.table, nullptr, &failure.error);
    if (failure.error != nullptr) {
        return Lookup::Failed;
    }
    if (value == nullptr) {
        return Lookup::Missing;
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    if (data != nullptr) {
        *data = QByteArray(bytes, static_cast<qsizetype>(length));
    }
    secret_value_unref(value);
    return Lookup::Found;
}

QString label(const QString& account)
{
    return account == minimaxAccount ? QStringLiteral("Quilvant: MiniMax API key")
                                     : QStringLiteral("Quilvant: %1").arg(account);
}

} // namespace

QString read(const QString& account)
{
    SecretService* keyring = connectService();
    if (keyring == nullptr) {
        return {};
    }
    QByteArray data;
    const Lookup found = lookup(keyring, account, &data);
    g_object_unref(keyring);
    if (found != Lookup::Found) {
        return {};
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
    QString text = decoder.decode(data);
    if (decoder.hasError()) {
        return {};
    }
    return text;
}

Outcome<void> save(const QString& key, const QString& account)
{
    SecretService* keyring = connectService();
    const QString addFailed = L::t(QStringLiteral("无法将 API Key 保存到钥匙串。"));
    if (key.isEmpty()) {
        if (keyring != nullptr) {
            const Attributes attributes(account);
            ErrorHolder ignored;
            secret_service_clear_sync(keyring, schema(), attributes.table, nullptr, &ignored.error);
            g_object_unref(keyring);
        }
        return {};
    }
    if (keyring == nullptr) {
        return AppFailure{addFailed};
    }
    const QByteArray bytes = key.toUtf8();
    SecretValue* value = secret_value_new(bytes.constData(), bytes.size(), "text/plain");
    const Attributes attributes(account);
    ErrorHolder failure;
    // Update first, so that a new value never leaves a second item behind; extra items (written by another
    // tool with other attributes besides these two) are removed for the same reason.
    GList* items = secret_service_search_sync(keyring, schema(), attributes.table,
                                              static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK),
                                              nullptr, &failure.error);
    Outcome<void> outcome;
    if (items != nullptr) {
        auto* first = static_cast<SecretItem*>(items->data);
        if (secret_item_set_secret_sync(first, value, nullptr, nullptr) == FALSE) {
            outcome = AppFailure{L::t(QStringLiteral("无法更新钥匙串中的 API Key。"))};
        } else {
            for (GList* extra = items->next; extra != nullptr; extra = extra->next) {
                secret_item_delete_sync(static_cast<SecretItem*>(extra->data), nullptr, nullptr);
            }
        }
        g_list_free_full(items, g_object_unref);
    } else {
        const QByteArray itemLabel = label(account).toUtf8();
        ErrorHolder addFailure;
        // Stored without the schema's name, so that the item carries exactly the two attributes.
        if (secret_service_store_sync(keyring, nullptr, attributes.table, SECRET_COLLECTION_DEFAULT,
                                      itemLabel.constData(), value, nullptr, &addFailure.error) == FALSE) {
            outcome = AppFailure{addFailed};
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

void readLater(const QString& account, QObject* context, std::function<void(const QString&)> done)
{
    offThread<QString>(
        context, [account] { return read(account); }, [done = std::move(done)](const QString& value) { done(value); });
}

void saveLater(const QString& key, const QString& account, QObject* context, Completion<void> done)
{
    offThread<Outcome<void>>(
        context, [key, account] { return save(key, account); },
        [done = std::move(done)](Outcome<void> outcome) { done(std::move(outcome)); });
}

} // namespace quilvant::Secrets

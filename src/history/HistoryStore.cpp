#include "history/HistoryStore.h"

#include "foundation/EngineKind.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTimeZone>
#include <QUuid>
#include <QVariant>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quilvant {

namespace {

// SQLite's primary result codes that say the file is not a history we can use, as opposed to a passing
// condition (busy, locked, disk full) after which the same file works again.
bool unusable(const QSqlError& error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok) & 0xff;
    if (!ok) {
        return false;
    }
    constexpr int perm = 3, readOnly = 8, corrupt = 11, cantOpen = 14, notADatabase = 26;
    return code == perm || code == readOnly || code == corrupt || code == cantOpen || code == notADatabase;
}

Error failure(const QString& what, const QSqlError& error)
{
    return Error::system(QStringLiteral("history: %1: %2").arg(what, error.text()));
}

// One white-space separated word of a query as an FTS5 phrase: the whole word, quotes doubled.
QString phrase(const QString& word)
{
    QString escaped = word;
    escaped.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

// A word as a LIKE pattern that matches it anywhere, its wildcards taken literally.
QString pattern(const QString& word)
{
    QString escaped;
    escaped.reserve(word.size() + 2);
    for (const QChar c : word) {
        if (c == QLatin1Char('%') || c == QLatin1Char('_') || c == QLatin1Char('\\')) {
            escaped += QLatin1Char('\\');
        }
        escaped += c;
    }
    return QLatin1Char('%') + escaped + QLatin1Char('%');
}

// SQLite's LIKE folds the case of ASCII letters only: a word without them is matched as it is, by instr(),
// which does the same in less time.
bool caseBlind(const QString& word)
{
    return std::any_of(word.begin(), word.end(), [](QChar c) { return c.isLetter() && c.unicode() < 0x80; });
}

qsizetype codePoints(const QString& text)
{
    return static_cast<qsizetype>(text.toUcs4().size());
}

} // namespace

HistoryStore::HistoryStore(QString path, int limit)
    : m_path(std::move(path))
    , m_limit(limit)
    , m_connection(QStringLiteral("history-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
{}

HistoryStore::~HistoryStore()
{
    close();
}

QString HistoryStore::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/quilvant/history.sqlite");
}

bool HistoryStore::isOpen() const
{
    return QSqlDatabase::contains(m_connection) && QSqlDatabase::database(m_connection, false).isOpen();
}

void HistoryStore::close()
{
    if (QSqlDatabase::contains(m_connection)) {
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }
}

Outcome<void> HistoryStore::open()
{
    if (isOpen()) {
        return {};
    }
    m_broken = false;
    const Outcome<void> opened = openFile();
    if (opened || !m_broken) {
        return opened;
    }
    return setAsideAndRestart(opened.error().description());
}

Outcome<void> HistoryStore::openFile()
{
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder)) {
        return Error::system(QStringLiteral("history: cannot make the folder %1").arg(folder));
    }
    ::chmod(QFile::encodeName(folder).constData(), 0700);
    // Made here first, so that SQLite (which gives its journals the file's mode) never makes it readable to others.
    const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int cause = errno;
        if (cause == ELOOP) {
            return Error::system(QStringLiteral("history: %1 is a link").arg(m_path));
        }
        m_broken = cause == EACCES || cause == EISDIR;
        return Error::system(QStringLiteral("history: %1: %2").arg(m_path, QString::fromLocal8Bit(strerror(cause))));
    }
    ::fchmod(fd, 0600);
    ::close(fd);

    close();
    std::optional<QSqlError> refused;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        db.setDatabaseName(m_path);
        if (!db.open()) {
            refused = db.lastError();
        }
    }
    if (refused) {
        close();
        m_broken = unusable(*refused);
        return failure(QStringLiteral("open"), *refused);
    }
    const Outcome<void> prepared = prepareSchema();
    if (!prepared) {
        close();
    }
    return prepared;
}

Outcome<void> HistoryStore::prepareSchema()
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    // A check of the whole file once per run: a torn or foreign file shows here, not at the first write.
    if (!query.exec(QStringLiteral("PRAGMA quick_check")) || !query.next()) {
        m_broken = unusable(query.lastError());
        return failure(QStringLiteral("check"), query.lastError());
    }
    if (query.value(0).toString() != QLatin1String("ok")) {
        m_broken = true;
        return Error::system(QStringLiteral("history: check: ") + query.value(0).toString());
    }
    const char* const statements[] = {
        // Deleted text is overwritten, not left in free pages: "delete" and "clear" mean gone from the disk.
        "PRAGMA secure_delete = ON",
        "PRAGMA journal_mode = WAL",
        "PRAGMA synchronous = NORMAL",
        "CREATE TABLE IF NOT EXISTS entries(id INTEGER PRIMARY KEY AUTOINCREMENT, at INTEGER NOT NULL, "
        "source TEXT NOT NULL, translation TEXT NOT NULL, target TEXT NOT NULL, engine TEXT NOT NULL)",
        "CREATE VIRTUAL TABLE IF NOT EXISTS entries_text USING fts5(source, translation, content='entries', "
        "content_rowid='id', tokenize='trigram')",
        "CREATE TRIGGER IF NOT EXISTS entries_added AFTER INSERT ON entries BEGIN "
        "INSERT INTO entries_text(rowid, source, translation) VALUES (new.id, new.source, new.translation); END",
        "CREATE TRIGGER IF NOT EXISTS entries_removed AFTER DELETE ON entries BEGIN "
        "INSERT INTO entries_text(entries_text, rowid, source, translation) "
        "VALUES ('delete', old.id, old.source, old.translation); END",
    };
    for (const char* statement : statements) {
        if (!query.exec(QString::fromLatin1(statement))) {
            m_broken = unusable(query.lastError());
            return failure(QStringLiteral("schema"), query.lastError());
        }
    }
    return {};
}

Outcome<void> HistoryStore::setAsideAndRestart(const QString& reason)
{
    close();
    if (QFileInfo(m_path).isSymLink()) {
        return Error::system(reason);
    }
    const QString aside = m_path + QStringLiteral(".broken-") +
                          QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    if (QFileInfo::exists(m_path) && !QFile::rename(m_path, aside)) {
        return Error::system(QStringLiteral("%1; it could not be moved aside either").arg(reason));
    }
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        const QString companion = m_path + QLatin1String(suffix);
        if (QFileInfo::exists(companion)) {
            QFile::rename(companion, aside + QLatin1String(suffix));
        }
    }
    const Outcome<void> fresh = openFile();
    if (!fresh) {
        return fresh;
    }
    m_setAside = aside;
    return {};
}

Outcome<qint64> HistoryStore::add(const CompletedTranslation& translation)
{
    if (const Outcome<void> opened = open(); !opened) {
        return opened.error();
    }
    std::optional<QSqlError> refused;
    qint64 id = 0;
    {
        QSqlQuery query(QSqlDatabase::database(m_connection, false));
        query.prepare(
            QStringLiteral("INSERT INTO entries(at, source, translation, target, engine) VALUES (?, ?, ?, ?, ?)"));
        query.addBindValue(translation.time.toMSecsSinceEpoch());
        query.addBindValue(translation.source);
        query.addBindValue(translation.translation);
        query.addBindValue(translation.target);
        query.addBindValue(Engines::storedName(translation.engine));
        if (query.exec()) {
            id = query.lastInsertId().toLongLong();
        } else {
            refused = query.lastError();
        }
    }
    if (refused) {
        if (!unusable(*refused) || m_retried) {
            return failure(QStringLiteral("add"), *refused);
        }
        // Broken while in use: start a new file and keep this entry there.
        if (const Outcome<void> restarted = setAsideAndRestart(failure(QStringLiteral("add"), *refused).description());
            !restarted) {
            return restarted.error();
        }
        m_retried = true;
        const Outcome<qint64> again = add(translation);
        m_retried = false;
        return again;
    }
    QSqlQuery prune(QSqlDatabase::database(m_connection, false));
    prune.prepare(
        QStringLiteral("DELETE FROM entries WHERE id <= (SELECT id FROM entries ORDER BY id DESC LIMIT 1 OFFSET ?)"));
    prune.addBindValue(m_limit);
    if (!prune.exec()) {
        return failure(QStringLiteral("prune"), prune.lastError());
    }
    return id;
}

Outcome<HistoryEntries> HistoryStore::search(const QString& text, int limit)
{
    if (const Outcome<void> opened = open(); !opened) {
        return opened.error();
    }
    QStringList indexed;
    QStringList scanned;
    for (const QString& word : text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts)) {
        (codePoints(word) >= indexedLength ? indexed : scanned).append(word);
    }
    // Newest first, and no further than the limit: through the index, its matches are walked in descending rowid
    // (which is the entry's id), each entry looked up as it comes, so the walk ends at the limit and nothing is
    // sorted; CROSS JOIN keeps the index the outer loop. Without indexed words the entries are scanned the same
    // way, newest first, until the limit.
    QString sql = QStringLiteral("SELECT e.id, e.at, e.source, e.translation, e.target, e.engine FROM ");
    QString newestFirst;
    QStringList conditions;
    if (indexed.isEmpty()) {
        sql += QStringLiteral("entries e");
        newestFirst = QStringLiteral(" ORDER BY e.id DESC");
    } else {
        sql += QStringLiteral("entries_text CROSS JOIN entries e ON e.id = entries_text.rowid");
        conditions << QStringLiteral("entries_text MATCH ?");
        newestFirst = QStringLiteral(" ORDER BY entries_text.rowid DESC");
    }
    for (const QString& word : scanned) {
        conditions << (caseBlind(word)
                           ? QStringLiteral("(e.source LIKE ? ESCAPE '\\' OR e.translation LIKE ? ESCAPE '\\')")
                           : QStringLiteral("(instr(e.source, ?) > 0 OR instr(e.translation, ?) > 0)"));
    }
    if (!conditions.isEmpty()) {
        sql += QStringLiteral(" WHERE ") + conditions.join(QStringLiteral(" AND "));
    }
    sql += newestFirst + QStringLiteral(" LIMIT ?");

    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    query.prepare(sql);
    if (!indexed.isEmpty()) {
        QStringList phrases;
        for (const QString& word : indexed) {
            phrases << phrase(word);
        }
        query.addBindValue(phrases.join(QLatin1Char(' ')));
    }
    for (const QString& word : scanned) {
        const QString bound = caseBlind(word) ? pattern(word) : word;
        query.addBindValue(bound);
        query.addBindValue(bound);
    }
    query.addBindValue(limit < 0 ? -1 : limit);
    if (!query.exec()) {
        return failure(QStringLiteral("search"), query.lastError());
    }
    HistoryEntries entries;
    const QTimeZone utc = QTimeZone::utc();
    QString lastEngine;
    EngineKind engine = EngineKind::Hosted;
    while (query.next()) {
        HistoryEntry entry;
        entry.id = query.value(0).toLongLong();
        entry.translation.time = QDateTime::fromMSecsSinceEpoch(query.value(1).toLongLong(), utc);
        entry.translation.source = query.value(2).toString();
        entry.translation.translation = query.value(3).toString();
        entry.translation.target = query.value(4).toString();
        // Nearly every entry names the same engine as the one before.
        const QString stored = query.value(5).toString();
        if (stored != lastEngine || entries.isEmpty()) {
            engine = Engines::fromStored(stored);
            lastEngine = stored;
        }
        entry.translation.engine = engine;
        entries.append(std::move(entry));
    }
    return entries;
}

Outcome<void> HistoryStore::remove(qint64 id)
{
    if (const Outcome<void> opened = open(); !opened) {
        return opened;
    }
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("DELETE FROM entries WHERE id = ?"));
    query.addBindValue(id);
    if (!query.exec()) {
        return failure(QStringLiteral("remove"), query.lastError());
    }
    return {};
}

Outcome<void> HistoryStore::clear()
{
    if (const Outcome<void> opened = open(); !opened) {
        return opened;
    }
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    for (const char* statement : {"DELETE FROM entries", "INSERT INTO entries_text(entries_text) VALUES ('optimize')",
                                  "PRAGMA wal_checkpoint(TRUNCATE)"}) {
        if (!query.exec(QString::fromLatin1(statement))) {
            return failure(QStringLiteral("clear"), query.lastError());
        }
    }
    return {};
}

Outcome<qint64> HistoryStore::count()
{
    if (const Outcome<void> opened = open(); !opened) {
        return opened.error();
    }
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.exec(QStringLiteral("SELECT count(*) FROM entries")) || !query.next()) {
        return failure(QStringLiteral("count"), query.lastError());
    }
    return query.value(0).toLongLong();
}

} // namespace quilvant

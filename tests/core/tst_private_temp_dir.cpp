#include "core/PrivateTempDir.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#include <unistd.h>

using namespace quilvant;

namespace {

mode_t modeOf(const QString& path)
{
    struct stat info
    {
    };
    ::lstat(path.toLocal8Bit().constData(), &info);
    return info.st_mode & 07777;
}

} // namespace

class TestPrivateTempDir : public QObject
{
    Q_OBJECT

    QTemporaryDir m_scratch;

    QString at(const char* name) const { return m_scratch.filePath(QString::fromUtf8(name)); }

private Q_SLOTS:
    void createdPrivate()
    {
        const QString dir = at("fresh");
        const auto result = PrivateTempDir::ensure(dir);
        QVERIFY2(result.ok(), qPrintable(result.error().description()));
        QCOMPARE(result.value(), dir);
        QCOMPARE(modeOf(dir), mode_t(0700));
        QVERIFY(PrivateTempDir::ensure(dir).ok()); // and again, now that it exists
    }

    void existingOpenDirectoryIsMadePrivate()
    {
        const QString dir = at("open");
        QVERIFY(QDir().mkpath(dir));
        ::chmod(dir.toLocal8Bit().constData(), 0777);
        QVERIFY(PrivateTempDir::ensure(dir).ok());
        QCOMPARE(modeOf(dir), mode_t(0700));
    }

    void plantedLinkIsRefusedNotFollowed()
    {
        const QString target = at("elsewhere");
        QVERIFY(QDir().mkpath(target));
        ::chmod(target.toLocal8Bit().constData(), 0755);
        const QString link = at("planted");
        QVERIFY(QFile::link(target, link));
        const auto result = PrivateTempDir::ensure(link);
        QVERIFY(!result.ok());
        QVERIFY2(result.error().description().contains(QStringLiteral("symbolic link")),
                 qPrintable(result.error().description()));
        QCOMPARE(modeOf(target), mode_t(0755)); // the target was not touched

        const QString dangling = at("dangling");
        QVERIFY(QFile::link(at("nothing-here"), dangling));
        QVERIFY(!PrivateTempDir::ensure(dangling).ok());
        QVERIFY(!QFileInfo::exists(at("nothing-here")));
    }

    void fileIsRefused()
    {
        const QString path = at("a-file");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        const auto result = PrivateTempDir::ensure(path);
        QVERIFY(!result.ok());
        QVERIFY(result.error().description().contains(QStringLiteral("not a directory")));
    }

    void directoryOfAnotherUserIsRefused()
    {
        if (::geteuid() != 0) {
            QSKIP("needs root to give a directory to another user");
        }
        const QString dir = at("theirs");
        QVERIFY(QDir().mkpath(dir));
        ::chmod(dir.toLocal8Bit().constData(), 0700);
        QCOMPARE(::chown(dir.toLocal8Bit().constData(), 65534, 65534), 0);
        const auto result = PrivateTempDir::ensure(dir);
        QVERIFY(!result.ok());
        QVERIFY(result.error().description().contains(QStringLiteral("another user")));
    }

    void locationFollowsTheRuntimeDirectory()
    {
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", "/run/user/4242");
        QCOMPARE(PrivateTempDir::location(), QStringLiteral("/run/user/4242/quilvant"));
        qunsetenv("XDG_RUNTIME_DIR");
        QCOMPARE(PrivateTempDir::location(), QStringLiteral("/tmp/quilvant-%1").arg(::geteuid()));
        qputenv("XDG_RUNTIME_DIR", "relative/path"); // not absolute: not trusted
        QCOMPARE(PrivateTempDir::location(), QStringLiteral("/tmp/quilvant-%1").arg(::geteuid()));
        qputenv("XDG_RUNTIME_DIR", saved);
    }
};

QTEST_GUILESS_MAIN(TestPrivateTempDir)
#include "tst_private_temp_dir.moc"

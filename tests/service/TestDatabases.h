#pragma once

#include "support/ChildProcess.h"

#include <QFile>
#include <QString>
#include <QTemporaryDir>

namespace quilvant::test {

// The throwaway PostgreSQL cluster of this test run (tests/service/postgres-cluster), when the test was given
// one: its libpq connection string, or empty.
inline QString postgresConnection()
{
    QFile file(qEnvironmentVariable("QUILVANT_TEST_POSTGRES"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
}

// A new, empty PostgreSQL database named `name` in that cluster, as the service's "database" setting; empty
// (and `error` set) when it could not be made.
inline QString freshPostgres(const QString& name, QString* error)
{
    const QString cluster = postgresConnection();
    if (cluster.isEmpty()) {
        *error = QStringLiteral("no PostgreSQL cluster: QUILVANT_TEST_POSTGRES names no connection file");
        return {};
    }
    Sandbox sandbox;
    for (const QString& statement :
         {QStringLiteral("DROP DATABASE IF EXISTS %1").arg(name), QStringLiteral("CREATE DATABASE %1").arg(name)}) {
        const RunResult result =
            runProgram(QStringLiteral("psql"),
                       {QStringLiteral("-q"), QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"), cluster,
                        QStringLiteral("-c"), statement},
                       sandbox);
        if (result.exitCode != 0) {
            *error = QStringLiteral("psql: ") + result.errText();
            return {};
        }
    }
    QString connection = cluster;
    connection.replace(QStringLiteral("dbname=postgres"), QStringLiteral("dbname=") + name);
    return QStringLiteral("postgresql:") + connection;
}

} // namespace quilvant::test

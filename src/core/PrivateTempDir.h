#pragma once

#include "core/Outcome.h"

#include <QString>

namespace quilvant::PrivateTempDir {

// The per-user private directory that holds the diagnostics log, capture images, self-test fixtures and the
// agent's working directory: $XDG_RUNTIME_DIR/quilvant, or /tmp/quilvant-UID without a runtime directory.
// Created with mode 0700 when missing. A path that is a symbolic link, not a directory, or owned by another
// user is refused and never followed.
Outcome<QString> path();

// The location path() uses, without touching the file system.
QString location();

// Makes sure `dir` is a private directory of the current user, creating it when missing.
Outcome<QString> ensure(const QString& dir);

} // namespace quilvant::PrivateTempDir

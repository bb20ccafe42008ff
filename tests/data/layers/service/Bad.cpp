#include "core/Outcome.h"
#include "session/Model.h"

#include <QString>
#include <QWidget>

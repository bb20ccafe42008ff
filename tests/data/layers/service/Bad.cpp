#include "chatstream/MiniMaxStream.h"
#include "core/Outcome.h"
#include "foundation/L.h"
#include "foundation/Settings.h"
#include "session/Model.h"

#include <QString>
#include <QWidget>

#include "core/Outcome.h"
#include "foundation/L.h"

#include "service/Store.h"

// The MariaDB server fixture lives in tests/support; the benchmarks still
// include it by this name.
#pragma once
#include "tests/support/mariadb_server.h"

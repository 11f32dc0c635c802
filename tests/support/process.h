// Running programs from tests: declared with the test host.
#pragma once

#include "tests/support/test_host.h"

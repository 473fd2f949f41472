#pragma once

// Kept for the few test files not yet moved to the protocol's own header.
#include "protocol/types.h"

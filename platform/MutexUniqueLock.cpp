#include "platform/MutexUniqueLock.h"

// Everything is inline in the header: holding and letting go of the lock costs what
// std::unique_lock costs.

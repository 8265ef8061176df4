// Counts heap allocations made by the test program (every malloc, calloc and realloc,
// so operator new and the C++ exception machinery too). Test programs are linked with
// --wrap for those three functions.
#pragma once

namespace fake {

// Number of allocations since the program started; take the difference around the code
// under test.
long AllocationCount();

}  // namespace fake

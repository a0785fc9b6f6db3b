// The handlers wait in whole seconds for other processes (a database copy to settle, a report
// state another handler sets). In a fuzz target no other process takes part, so the waits only
// cost time: this sleep returns at once and stands in for the C library's in the target program.
#include <unistd.h>

extern "C" unsigned int sleep(unsigned int) { return 0; }

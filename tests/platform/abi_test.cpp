// What every build must hold, 32-bit ARM included: 64-bit file offsets and
// time values, and the kernel's own layout of input records, all checked at
// compile time (the calendar check of linux_kernel_test takes the C library's
// gmtime_r as its reference up to the year 4000 and so also runs past 2038).
#include <linux/input.h>
#include <sys/types.h>

#include <ctime>

namespace {

// A 32-bit build without large-file support or 64-bit time_t fails here
// rather than at run time (EOVERFLOW from readdir, a wrapped clock).
static_assert(sizeof(off_t) == 8, "build 32-bit targets with -D_FILE_OFFSET_BITS=64");
static_assert(sizeof(time_t) == 8, "build 32-bit targets with -D_TIME_BITS=64");
// The kernel's record: two longs of time, then type, code, value. With 64-bit
// time_t on a 32-bit ABI the header must still give the kernel's 16 bytes.
static_assert(sizeof(input_event) == 2 * sizeof(long) + 8, "input_event must match the kernel's record");

}  // namespace

// The host backend's own calls: the device root and the things tests, the
// simulator and the benchmarks need around it. Only code built for
// LUMO_PLATFORM=host includes this header; the program's modules never do.
//
// The device root is the directory that stands for the phone's root file
// system (LUMO_ROOT). It is resolved once (realpath: symbolic links, "." and
// ".." removed) and a root that resolves to "/" is refused, so that nothing
// the host build does can reach the machine's own /sys or /dev.
#pragma once

#include <cstddef>

namespace platform {

// The resolved device root, or nullptr when none is set. On first use it is
// taken from the environment variable LUMO_ROOT.
const char* device_root();

// Replaces the device root (tests and the simulator). Returns false for a
// null or empty directory, one that does not resolve, or one that resolves
// to "/". Earlier roots stay valid for readers that still hold them.
bool set_device_root(const char* dir);

// Resolves `dir` as a device root into `out`: realpath, then refused (false)
// when it does not resolve, does not fit, or is "/". Pure; exposed for tests.
bool resolve_device_root(const char* dir, char* out, size_t out_size);

// Creates every missing directory of `host_path` up to its last component
// (that component itself is not created), starting below the device root:
// the root's own ancestors are never touched. Returns 0, or -1 (errno EXDEV
// when `host_path` does not lie under the device root).
int make_parent_dirs(const char* host_path);

// Tests: every log entry is also handed to `sink` (nullptr removes it). The
// sink runs under the log lock with the bare text.
using LogSink = void (*)(int priority, const char* text);
void set_log_sink(LogSink sink);

}  // namespace platform

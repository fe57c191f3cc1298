// Small helpers shared by every layer: the fatal exit, number reading from
// text and realtime deadline arithmetic. Free of I/O but the fatal report.
#pragma once

#include <cstdint>
#include <ctime>

/// Prints one printf-style line on stderr, writes the armed release (see
/// lif_arm_release) and exits with status 1. When two threads fail at once
/// only the first prints and exits; the other blocks.
[[noreturn]] [[gnu::format(printf, 1, 2)]] void ln_fatal(const char *fmt, ...);
/// Writes the armed release and calls exit(status), ordered with ln_fatal and
/// the signal thread: the reader may end the process at any moment, and exit
/// must never run in two threads at once.
[[noreturn]] void ln_exit(int status);
/// Blocks SIGINT, SIGTERM, SIGHUP and SIGPIPE (those not ignored at start) in
/// the calling thread, and so in every thread started after it, and starts a
/// thread that takes them: it writes the armed release and ends the process
/// as the signal would. Call before lif_open. A write to a closed pipe or
/// socket then fails with EPIPE instead of ending the process unannounced.
void ln_catch_signals();

/// Reads a decimal number as strtoul does with an unsigned 32-bit result:
/// leading white space and one sign accepted, saturating at 4294967295 for
/// any larger magnitude, a minus giving 4294967296 minus the magnitude.
/// *end is set behind the number, or to s when no digit follows (value 0).
std::uint32_t str_to_u32(const char *s, const char **end);

/// now + ns with the nanoseconds carried into seconds; ns below 1 s.
struct timespec ts_add_ns(struct timespec now, std::uint32_t ns);
/// Negative, zero or positive as a is before, at or after b.
int ts_cmp(const struct timespec &a, const struct timespec &b);

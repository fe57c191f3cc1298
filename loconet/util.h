// Small helpers shared by every layer: the ends of the process, checked
// locking, number reading from text and deadline arithmetic.
#pragma once

#include <cstdint>
#include <ctime>
#include <pthread.h>

struct lif_t;

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
/// Prints one printf-style line (with its line end) on stderr, or hands it
/// to the hook ln_set_warn_hook set: a warning, and the run goes on.
[[gnu::format(printf, 1, 2)]] void ln_warn(const char *fmt, ...);
/// Where ln_warn's lines go instead of stderr (the tool: among its reports).
void ln_set_warn_hook(void (*hook)(const char *line));
/// Sets a hook that every end of the process runs first, before ln_fatal's
/// message too: the tool clears its progress line with it. Set it before any
/// thread that may end the process starts.
void ln_set_end_hook(void (*hook)());

/// Reads a decimal number as strtoul does with an unsigned 32-bit result:
/// leading white space and one sign accepted, saturating at 4294967295 for
/// any larger magnitude, a minus giving 4294967296 minus the magnitude.
/// *end is set behind the number, or to s when no digit follows (value 0).
std::uint32_t str_to_u32(const char *s, const char **end);

/// now + ns with the nanoseconds carried into seconds; ns below 1 s.
struct timespec ts_add_ns(struct timespec now, std::uint32_t ns);
/// The deadline ns (< 1 s) from now on the clock of every deadline of the
/// layer, CLOCK_MONOTONIC: setting the wall clock must neither stretch nor
/// shorten a wait for a reply.
struct timespec ln_deadline(std::uint32_t ns);
/// Milliseconds since t0 on CLOCK_MONOTONIC, in 64 bits: a bound on how long
/// we wait must not stretch when the wall clock is set back, nor overflow
/// where long has 32 bits and the machine has been up for weeks.
std::int64_t ln_ms_since(const struct timespec &t0);

// Checked locking: a failure of any of these is fatal, with the error text
// and number the call returned, as the wait's is.

/// Initialises lif's lock, and its cond on CLOCK_MONOTONIC.
void lif_init_sync(lif_t *lif);
/// Waits on lif's cond, lif's lock held, until it is signalled or the
/// deadline end on CLOCK_MONOTONIC passes: 0, ETIMEDOUT, or the wait's error.
int ln_cond_wait_until(lif_t *lif, const struct timespec *end);
void ln_lock(pthread_mutex_t *m);
void ln_unlock(pthread_mutex_t *m);

// What every end of the process does before it exits: internal to the
// interface layer, run by ln_fatal, ln_exit and the signal thread only, one
// of them at most (they hold the end lock).
#pragma once

struct lif_t;

/// Writes the armed releases once, if the port still takes bytes, and keeps
/// every later transmission out for good: nothing may follow the release.
/// Bounded by about two seconds (waiting for a transmission in progress, then
/// the write itself); prints nothing.
void lif_end_release();
/// Clears the exclusive flag of the port lif_open claimed, if any, and takes
/// the port out of the low-latency mode lif_open put it in.
void lif_end_unclaim();
/// After lif_end_release: what the kind of the interface lif_open opened does
/// at the end (a Z21's logoff).
void lif_end_kind();
/// The interface lif_open opened, or null.
lif_t *lif_opened();
/// Runs the hook set with ln_set_end_hook, if any.
void ln_end_hook();
/// An end from outside (a signal, the console): takes the end lock for good,
/// runs the hook and writes the armed releases; the caller then ends the
/// process as that event would.
void ln_end_from_outside();

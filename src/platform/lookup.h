// SPDX-License-Identifier: BSD-2-Clause
// Name lookups on a helper thread of their own, which a stop never waits for.
#pragma once

#include <cstddef>

// What the helper runs: fills out (the size given at the start) with the
// answer for name and returns its result.
using LookupFn = int (*)(const char* name, unsigned port, int type, void* out);

// Shared by its caller and its helper; the last one out frees it.
struct NameLookup;

// Starts fn on a detached helper thread (it inherits the caller's blocked
// signals). nullptr when no helper could be had: the caller looks up in place.
NameLookup* lookup_start(const char* name, unsigned port, int type, LookupFn fn, std::size_t out_size);
// A descriptor that becomes readable once the answer is in.
int lookup_fd(const NameLookup* lookup);
// After lookup_fd became readable: fn's result, its answer copied to out.
int lookup_answer(const NameLookup* lookup, void* out);
// The caller is done with it, answered or not.
void lookup_release(NameLookup* lookup);

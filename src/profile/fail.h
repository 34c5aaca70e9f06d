// The shape of every failure path of the profile component: the status is
// recorded in the caller's collector, under the profile catalogue, and
// returned.  Below the contexts and records, so that every file of the
// component can fail without knowing about either.
#pragma once

#include "diag/collector.h"

#include <cstdint>

// Records status in the collector (null: nothing) with severity 2 under the
// profile catalogue and returns it.
uint32_t profileFail(ErrCollector *collector, uint32_t status);

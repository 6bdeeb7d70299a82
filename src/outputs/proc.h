// SPDX-License-Identifier: BSD-2-Clause
// Reading the router's status tool: one labelled value of one section.
#pragma once

// The tool runner lives with the platform; its callers here keep finding it
// through this header.
#include "platform/run.h"

const char* status_read(const char* section, int max_age);
const char* status_value(const char* output, const char* key);
const char* status_get(const char* section, const char* key);

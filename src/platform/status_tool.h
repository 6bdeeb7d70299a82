// SPDX-License-Identifier: BSD-2-Clause
// Reading the router's status tool: one labelled value of one section.
#pragma once

const char* status_read(const char* section, int max_age);
const char* status_value(const char* output, const char* key);
const char* status_get(const char* section, const char* key);

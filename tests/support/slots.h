// SPDX-License-Identifier: BSD-2-Clause
// Several slots of a receiver's report set at once, as the cases of the position output tests change it.
#pragma once

#include <utility>

#include "support/report.h"

// put_all(r.course, "359.6", r.altitude, ""): each slot gets its text.
template <std::size_t N, typename... Rest>
void put_all(char (&slot)[N], const char* text, Rest&&... rest)
{
    put(slot, text);
    if constexpr (sizeof...(rest) > 0)
        put_all(std::forward<Rest>(rest)...);
}

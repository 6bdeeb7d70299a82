// SPDX-License-Identifier: BSD-2-Clause
// The backlog of a remote stream: bursts kept, oldest first, while the server cannot take them.
#include "outputs/burst_queue.h"

#include <cstdlib>
#include <cstring>

struct BurstNode {
    BurstNode* next;
    std::size_t length;
    char data[1];  // allocated to fit
};

namespace {

// Takes the oldest burst out of the queue; the caller owns it.
BurstNode* burst_queue_unlink(BurstQueue* q)
{
    BurstNode* n = q->head;
    q->head = n->next;
    if (!q->head)
        q->tail = nullptr;
    q->count -= 1;
    q->bytes -= n->length;
    return n;
}

void burst_queue_pop(BurstQueue* q)
{
    std::free(burst_queue_unlink(q));
}

uint64_t byte_limit(const BurstQueue* q)
{
    return q->byte_limit > 0 ? q->byte_limit : kBacklogBytes;
}

// Drops the oldest bursts (counted) until extra more bytes and one more
// burst fit.
void burst_queue_make_room(BurstQueue* q, std::size_t extra)
{
    while (q->head && (q->count >= q->capacity || q->bytes + extra > byte_limit(q))) {
        burst_queue_pop(q);
        q->dropped += 1;
    }
}

}  // namespace

bool burst_queue_push(BurstQueue* q, const char* data, std::size_t length)
{
    if (q->capacity == 0 || length == 0)
        return false;
    if (length > byte_limit(q)) {
        q->dropped += 1;
        return false;
    }
    burst_queue_make_room(q, length);
    BurstNode* n = static_cast<BurstNode*>(std::malloc(sizeof(BurstNode) + length));
    if (!n) {
        q->dropped += 1;
        return false;
    }
    n->next = nullptr;
    n->length = length;
    std::memcpy(n->data, data, length);
    if (q->tail)
        q->tail->next = n;
    else
        q->head = n;
    q->tail = n;
    q->count += 1;
    q->bytes += length;
    return true;
}

int burst_queue_drain(BurstQueue* q, int max, int (*send)(void* ctx, const char* data, std::size_t length), void* ctx,
                      bool* failed)
{
    int sent = 0;
    *failed = false;
    while (q->head && sent < max) {
        BurstNode* n = burst_queue_unlink(q);
        if (send(ctx, n->data, n->length) != 0) {
            // Still the oldest: back at the front, unless newer bursts
            // filled the queue meanwhile, when it is the first to give way.
            *failed = true;
            if (q->count >= q->capacity || q->bytes + n->length > byte_limit(q)) {
                std::free(n);
                q->dropped += 1;
                break;
            }
            n->next = q->head;
            q->head = n;
            if (!q->tail)
                q->tail = n;
            q->count += 1;
            q->bytes += n->length;
            break;
        }
        std::free(n);
        ++sent;
    }
    return sent;
}

void burst_queue_clear(BurstQueue* q)
{
    while (q->head)
        burst_queue_pop(q);
}

// SPDX-License-Identifier: BSD-2-Clause
// Name lookups on a helper thread of their own, which a stop never waits for.
#include "platform/lookup.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

// A lookup can take many seconds and cannot be interrupted: the caller waits
// for done_fd beside its own stop and, when it stops first, leaves the
// record to the helper, which frees it when its lookup returns.
struct NameLookup {
    int refs;
    int done_fd;  // eventfd the helper signals when the answer is in
    int result;   // fn's, published before done_fd is signalled
    unsigned port;
    int type;
    LookupFn fn;
    std::size_t out_size;
    char* name;                                      // behind the answer, in the same allocation
    alignas(std::max_align_t) unsigned char out[1];  // allocated to fit
};

namespace {

void* lookup_main(void* arg)
{
    auto* l = static_cast<NameLookup*>(arg);
    const int result = l->fn(l->name, l->port, l->type, l->out);
    __atomic_store_n(&l->result, result, __ATOMIC_RELEASE);
    uint64_t one = 1;
    ssize_t ignored = write(l->done_fd, &one, sizeof one);
    (void)ignored;
    lookup_release(l);
    return nullptr;
}

}  // namespace

NameLookup* lookup_start(const char* name, unsigned port, int type, LookupFn fn, std::size_t out_size)
{
    const std::size_t len = std::strlen(name);
    auto* l = static_cast<NameLookup*>(std::calloc(1, sizeof(NameLookup) + out_size + len + 1));
    if (!l)
        return nullptr;
    l->done_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    pthread_attr_t attr;
    if (l->done_fd < 0 || pthread_attr_init(&attr) != 0) {
        if (l->done_fd >= 0)
            close(l->done_fd);
        std::free(l);
        return nullptr;
    }
    l->name = reinterpret_cast<char*>(l->out) + out_size;
    std::memcpy(l->name, name, len + 1);
    l->refs = 2;
    l->result = -1;
    l->port = port;
    l->type = type;
    l->fn = fn;
    l->out_size = out_size;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t helper;
    const bool started = pthread_create(&helper, &attr, lookup_main, l) == 0;
    pthread_attr_destroy(&attr);
    if (!started) {
        close(l->done_fd);
        std::free(l);
        return nullptr;
    }
    return l;
}

int lookup_fd(const NameLookup* l)
{
    return l->done_fd;
}

int lookup_answer(const NameLookup* l, void* out)
{
    const int result = __atomic_load_n(&l->result, __ATOMIC_ACQUIRE);
    std::memcpy(out, l->out, l->out_size);
    return result;
}

void lookup_release(NameLookup* l)
{
    if (__atomic_sub_fetch(&l->refs, 1, __ATOMIC_ACQ_REL) == 0) {
        close(l->done_fd);
        std::free(l);
    }
}

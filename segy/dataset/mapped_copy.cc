#include <Python.h>

// A fault on a mapped page is turned into a failed copy only while a copy runs and only for an
// address inside the run being copied: the SIGBUS handler is installed just for the copy (no
// Python code runs meanwhile, so no one else's handler is lost by putting the previous one back),
// and a fault anywhere else restores the previous handler and returns, so that the faulting
// instruction runs again and meets that handler, as if this one had never been there. The GIL
// keeps copies from overlapping; the armed runs are plain globals the handler may read.
//
// A long run of headers alone is copied by two threads, each over its own half: picking 240 bytes
// out of every trace is bound by one core's cache misses and page faults, and a second core nearly
// halves it. (Whole traces are not split: that copy is bound by the memory bus, which a second
// core does not widen, and it measured slower for the thread's cost.) The
// halves' byte ranges are disjoint and each is read only by the thread copying it, so the address
// of a fault names the thread that faulted, and the jump goes back into that thread's own copy.

#include <pthread.h>

#include <csetjmp>
#include <csignal>
#include <cstring>

#include "segy/dataset/mapped_copy.h"
#include "segy/dataset/rows.h"
#include "segy/record/record.h"

namespace vandor::segymod {
namespace {

constexpr std::size_t kHeaderBytes = VANDOR_SEGY_HEADER_BYTES;

struct Armed {
    const char* begin;
    const char* end;
    sigjmp_buf jump;
};

Armed* volatile g_armed[2] = {nullptr, nullptr};
struct sigaction g_previous;

void on_sigbus(int, siginfo_t* info, void*) {
    const char* at = static_cast<const char*>(info->si_addr);
    for (Armed* armed : g_armed) {
        if (armed != nullptr && at >= armed->begin && at < armed->end) siglongjmp(armed->jump, 1);
    }
    sigaction(SIGBUS, &g_previous, nullptr);
}

// The copy itself, kept free of anything that a jump out of it could leave behind.
Py_ssize_t copy_run(const MappedTraces& run) {
    Py_ssize_t j = 0;
    for (; j < run.count; ++j) {
        const std::size_t at = static_cast<std::size_t>(j) * run.step;
        if (at + kHeaderBytes > run.avail) break;
        std::memcpy(run.headers + j * kHeaderBytes, run.from + at, kHeaderBytes);
        if (ns_of(run.from + at) != run.ns) break;
        if (run.samples == nullptr) continue;
        const std::size_t left = run.avail - at - kHeaderBytes;
        std::memcpy(run.samples + j * run.sample_bytes, run.from + at + kHeaderBytes,
                    left < run.sample_bytes ? left : run.sample_bytes);
    }
    return j;
}

// A run of at least this many bytes is worth a second thread: starting and joining one costs tens
// of microseconds, picking the headers out of 2 MiB some hundreds.
constexpr std::size_t kSplitBytes = std::size_t{2} << 20;

// copy_run(run) with faults inside `run` ending it: what it answers, or -1 after a fault. `slot`
// is the thread's place among the armed runs.
Py_ssize_t copy_armed(const MappedTraces& run, int slot) {
    Armed armed{run.from, run.from + run.avail, {}};
    // volatile: read after the jump, which may come back here without it in a register
    volatile Py_ssize_t copied = -1;
    if (sigsetjmp(armed.jump, 0) == 0) {
        g_armed[slot] = &armed;
        copied = copy_run(run);
    }
    g_armed[slot] = nullptr;
    return copied;
}

// The second half of a split run, copied on a thread of its own.
struct Half {
    MappedTraces run;
    Py_ssize_t copied;
};

void* copy_half(void* arg) {
    auto* half = static_cast<Half*>(arg);
    half->copied = copy_armed(half->run, 1);
    return nullptr;
}

// Starts a thread on `half`, with every signal blocked but the faults of its own copy, so that
// signals meant for the interpreter reach the thread it runs on. False if none could be started.
bool start_half(pthread_t* thread, Half* half) {
    sigset_t all, previous;
    sigfillset(&all);
    for (int fault : {SIGBUS, SIGSEGV, SIGFPE, SIGILL}) sigdelset(&all, fault);
    if (pthread_sigmask(SIG_SETMASK, &all, &previous) != 0) return false;
    const bool started = pthread_create(thread, nullptr, copy_half, half) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return started;
}

// The copy, split in two halves when it is long enough and a thread can be had.
Py_ssize_t copy_split(const MappedTraces& run) {
    const Py_ssize_t h = run.count / 2;
    const std::size_t split_at = static_cast<std::size_t>(h) * run.step;
    if (run.samples != nullptr || run.avail < kSplitBytes || split_at >= run.avail) {
        return copy_armed(run, 0);
    }
    Half half{run, 0};
    half.run.from += split_at;
    half.run.avail -= split_at;
    half.run.count -= h;
    half.run.headers += h * kHeaderBytes;
    pthread_t thread;
    if (!start_half(&thread, &half)) return copy_armed(run, 0);
    MappedTraces first = run;
    first.avail = split_at;
    first.count = h;
    const Py_ssize_t copied = copy_armed(first, 0);
    pthread_join(thread, nullptr);
    if (copied != h) return copied;  // stopped in the first half, or faulted there
    return half.copied < 0 ? -1 : h + half.copied;
}

}  // namespace

Py_ssize_t copy_mapped_traces(const MappedTraces& run) {
    struct sigaction ours;
    std::memset(&ours, 0, sizeof ours);
    ours.sa_sigaction = on_sigbus;
    sigemptyset(&ours.sa_mask);
    // SA_NODEFER: the jump leaves the handler, so SIGBUS must not stay blocked afterwards
    ours.sa_flags = SA_SIGINFO | SA_NODEFER;
    if (sigaction(SIGBUS, &ours, &g_previous) != 0) return -1;
    const Py_ssize_t copied = copy_split(run);
    sigaction(SIGBUS, &g_previous, nullptr);
    return copied;
}

}  // namespace vandor::segymod

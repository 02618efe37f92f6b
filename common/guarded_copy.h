// Copying records out of a read-only mapping of a file that some other process may shorten while
// they are copied: a page the file no longer holds ends the copy with a failure, where a plain
// copy would be killed by SIGBUS. Header-only: vandor.segy and vandor._samples both copy out of
// mappings, and each compiles its own copy (with its own handler state, used under the GIL).
//
// A fault on a mapped page is turned into a failed copy only while a copy runs and only for an
// address inside the run being copied: the SIGBUS handler is installed just for the copy (the
// caller holds the GIL and no Python code runs meanwhile, so no one else's handler is lost by
// putting the previous one back), and a fault anywhere else restores the previous handler and
// returns, so that the faulting instruction runs again and meets that handler, as if this one had
// never been there.
//
// A long run may be copied by two threads, each over its own half. The halves' byte ranges are
// disjoint and each is read only by the thread copying it, so the address of a fault names the
// thread that faulted, and the jump goes back into that thread's own copy.
#pragma once

#include <Python.h>
#include <pthread.h>

#include <csetjmp>
#include <csignal>
#include <cstddef>
#include <cstring>

namespace vandor::guarded {

// `count` records `step` bytes apart from `from`, of which `avail` bytes are mapped; `first` is
// the index of the record at `from` in the caller's whole run.
struct Run {
    const char* from;
    std::size_t avail;
    std::size_t step;
    Py_ssize_t count;
    Py_ssize_t first;
};

namespace detail {

struct Armed {
    const char* begin;
    const char* end;
    sigjmp_buf jump;
};

inline Armed* volatile armed[2] = {nullptr, nullptr};
inline struct sigaction previous;

inline void on_sigbus(int, siginfo_t* info, void*) {
    const char* at = static_cast<const char*>(info->si_addr);
    for (Armed* a : armed) {
        if (a != nullptr && at >= a->begin && at < a->end) siglongjmp(a->jump, 1);
    }
    sigaction(SIGBUS, &previous, nullptr);
}

// copy(run) with a fault inside `run` ending it: what copy answers, or -1 after a fault. `slot`
// is the thread's place among the armed runs. `copy` must hold nothing a jump out of it could
// leave behind (no allocation, no lock).
template <class Copy>
Py_ssize_t armed_copy(const Run& run, int slot, const Copy& copy) {
    Armed here{run.from, run.from + run.avail, {}};
    // volatile: read after the jump, which may come back here without it in a register
    volatile Py_ssize_t copied = -1;
    if (sigsetjmp(here.jump, 0) == 0) {
        armed[slot] = &here;
        copied = copy(run);
    }
    armed[slot] = nullptr;
    return copied;
}

template <class Copy>
struct Half {
    Run run;
    const Copy* copy;
    Py_ssize_t copied;
};

template <class Copy>
void* copy_half(void* arg) {
    auto* half = static_cast<Half<Copy>*>(arg);
    half->copied = armed_copy(half->run, 1, *half->copy);
    return nullptr;
}

// Starts a thread on `half`, with every signal blocked but the faults of its own copy, so that
// signals meant for the interpreter reach the thread it runs on. False if none could be started.
template <class Copy>
bool start_half(pthread_t* thread, Half<Copy>* half) {
    sigset_t all, before;
    sigfillset(&all);
    for (int fault : {SIGBUS, SIGSEGV, SIGFPE, SIGILL}) sigdelset(&all, fault);
    if (pthread_sigmask(SIG_SETMASK, &all, &before) != 0) return false;
    const bool started = pthread_create(thread, nullptr, copy_half<Copy>, half) == 0;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return started;
}

// The copy, split in two halves when asked, long enough, and a thread can be had.
template <class Copy>
Py_ssize_t split_copy(const Run& run, bool split, const Copy& copy) {
    // starting and joining a thread costs tens of microseconds: a run of 2 MiB is worth it
    constexpr std::size_t kSplitBytes = std::size_t{2} << 20;
    const Py_ssize_t h = run.count / 2;
    const std::size_t split_at = static_cast<std::size_t>(h) * run.step;
    if (!split || run.avail < kSplitBytes || split_at >= run.avail) return armed_copy(run, 0, copy);
    Half<Copy> half{run, &copy, 0};
    half.run.from += split_at;
    half.run.avail -= split_at;
    half.run.count -= h;
    half.run.first += h;
    pthread_t thread;
    if (!start_half(&thread, &half)) return armed_copy(run, 0, copy);
    Run first = run;
    first.avail = split_at;
    first.count = h;
    const Py_ssize_t copied = armed_copy(first, 0, copy);
    pthread_join(thread, nullptr);
    if (copied != h) return copied;  // stopped in the first half, or faulted there
    return half.copied < 0 ? -1 : h + half.copied;
}

}  // namespace detail

// Copies `run` with `copy`, a callable taking a Run (a part of `run`, or all of it) and answering
// how many of its records it copied: fewer than its count to stop there. With `split`, a long run
// is copied by two threads at once, `copy` called on each half; it must then be safe to call so.
// The records copied from the start of `run`, or -1 when the file no longer holds some page of it
// (no exception is set; the copy may be partly done). The caller holds the GIL; `copy` calls no
// Python code.
template <class Copy>
Py_ssize_t copy_mapped(const Run& run, bool split, const Copy& copy) {
    struct sigaction ours;
    std::memset(&ours, 0, sizeof ours);
    ours.sa_sigaction = detail::on_sigbus;
    sigemptyset(&ours.sa_mask);
    // SA_NODEFER: the jump leaves the handler, so SIGBUS must not stay blocked afterwards
    ours.sa_flags = SA_SIGINFO | SA_NODEFER;
    if (sigaction(SIGBUS, &ours, &detail::previous) != 0) return -1;
    const Py_ssize_t copied = detail::split_copy(run, split, copy);
    sigaction(SIGBUS, &detail::previous, nullptr);
    return copied;
}

}  // namespace vandor::guarded

// Copying records out of a read-only mapping of a file that some other process may shorten while
// they are copied: a page the file no longer holds ends the copy with a failure, where a plain
// copy would be killed by SIGBUS. Header-only: vandor.segy and vandor._samples both copy out of
// mappings, and each compiles its own copy (with its own handler state, used under the GIL).
//
// A fault on a mapped page is turned into a failed copy only while a copy runs and only for an
// address inside a piece being copied: the SIGBUS handler is installed just for the copy (the
// caller holds the GIL and no Python code runs meanwhile, so no one else's handler is lost by
// putting the previous one back), and a fault anywhere else restores the previous handler and
// returns, so that the faulting instruction runs again and meets that handler, as if this one had
// never been there.
//
// A long run may be shared with a second thread: the caller takes pieces of about 1 MiB from its
// front, the helper from its back, until they meet (apart, their page faults do not contend for
// the same page tables). The pieces' byte ranges are disjoint and each is read only by the thread
// copying it, so the address of a fault names the thread that faulted, and the jump goes back
// into that thread's own copy.
// The caller never waits for the helper to start (waking an idle core can take milliseconds on a
// virtual machine): it takes every piece left, waits only for pieces the helper took, and leaves
// the helper detached; a helper that starts late finds nothing left and touches nothing but the
// counters it shares.
#pragma once

#include <Python.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

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

using CopyFn = Py_ssize_t (*)(const void* copy, const Run& part);

template <class Copy>
Py_ssize_t call(const void* copy, const Run& part) {
    return (*static_cast<const Copy*>(copy))(part);
}

// copy(part) with a fault inside `part` ending it: what copy answers, or -1 after a fault. `slot`
// is the thread's place among the armed pieces. `copy` must hold nothing a jump out of it could
// leave behind (no allocation, no lock).
inline Py_ssize_t armed_copy(const Run& part, int slot, CopyFn fn, const void* copy) {
    Armed here{part.from, part.from + part.avail, {}};
    // volatile: read after the jump, which may come back here without it in a register
    volatile Py_ssize_t copied = -1;
    if (sigsetjmp(here.jump, 0) == 0) {
        armed[slot] = &here;
        copied = fn(copy, part);
    }
    armed[slot] = nullptr;
    return copied;
}

// What the caller and its helper share. Freed by whichever of the two lets go last; the helper
// reads `run`, `fn`, `copy` and `results` only after taking a piece, which the caller waits for.
struct Shared {
    std::atomic<int> holders{2};
    std::atomic<std::uint64_t> left{0};  // pieces not taken: [front, back), front in the high half
    std::atomic<Py_ssize_t> done{0};     // pieces finished (or skipped)
    std::atomic<Py_ssize_t> stop{0};     // pieces past this one are not needed: one stopped here
    Run run;
    Py_ssize_t per;  // records a piece
    Py_ssize_t pieces;
    CopyFn fn;
    const void* copy;
    Py_ssize_t* results;  // records copied by each piece, or -1 after a fault
};

inline void let_go(Shared* s) {
    if (s->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::free(s->results);
        s->~Shared();
        std::free(s);
    }
}

// The next piece from the front (slot 0) or the back (slot 1), or -1 when none is left.
inline Py_ssize_t take(Shared* s, int slot) {
    std::uint64_t ends = s->left.load(std::memory_order_acquire);
    for (;;) {
        const std::uint64_t front = ends >> 32, back = ends & 0xffffffffu;
        if (front >= back) return -1;
        const std::uint64_t after = slot == 0 ? ends + (std::uint64_t{1} << 32) : ends - 1;
        if (s->left.compare_exchange_weak(ends, after, std::memory_order_acq_rel)) {
            return static_cast<Py_ssize_t>(slot == 0 ? front : back - 1);
        }
    }
}

// Takes pieces until none is left. `slot` as for armed_copy.
inline void take_pieces(Shared* s, int slot) {
    for (;;) {
        const Py_ssize_t i = take(s, slot);
        if (i < 0) return;
        Py_ssize_t got = 0;
        if (i <= s->stop.load(std::memory_order_acquire)) {
            const Py_ssize_t first = i * s->per;
            Run part = s->run;
            part.from += static_cast<std::size_t>(first) * part.step;
            part.avail = std::min(part.avail - static_cast<std::size_t>(first) * part.step,
                                  static_cast<std::size_t>(s->per) * part.step);
            part.count = std::min(s->per, s->run.count - first);
            part.first += first;
            got = armed_copy(part, slot, s->fn, s->copy);
            if (got != part.count) {
                Py_ssize_t seen = s->stop.load(std::memory_order_relaxed);
                while (i < seen && !s->stop.compare_exchange_weak(seen, i)) {
                }
            }
        }
        s->results[i] = got;
        s->done.fetch_add(1, std::memory_order_acq_rel);
        s->done.notify_all();
    }
}

inline void* helper(void* arg) {
    auto* s = static_cast<Shared*>(arg);
    take_pieces(s, 1);
    let_go(s);
    return nullptr;
}

// Starts a detached helper on `s`, with every signal blocked but the faults of its own copy, so
// that signals meant for the interpreter reach the thread it runs on. False if none started.
inline bool start_helper(Shared* s) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    sigset_t all, before;
    sigfillset(&all);
    for (int fault : {SIGBUS, SIGSEGV, SIGFPE, SIGILL}) sigdelset(&all, fault);
    bool started = false;
    if (pthread_sigmask(SIG_SETMASK, &all, &before) == 0) {
        pthread_t thread;
        started = pthread_create(&thread, &attr, helper, s) == 0;
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
    pthread_attr_destroy(&attr);
    return started;
}

// The run shared with a helper when it is long enough and one can be had; else copied here.
inline Py_ssize_t shared_copy(const Run& run, bool share, CopyFn fn, const void* copy) {
    // starting a thread costs tens of microseconds: worth it from 2 MiB on
    constexpr std::size_t kShareBytes = std::size_t{2} << 20;
    constexpr std::size_t kPieceBytes = std::size_t{1} << 20;
    if (!share || run.avail < kShareBytes || run.count < 2) return armed_copy(run, 0, fn, copy);
    const Py_ssize_t per = std::max<Py_ssize_t>(1, static_cast<Py_ssize_t>(kPieceBytes / run.step));
    const Py_ssize_t pieces = (run.count + per - 1) / per;
    if (pieces > 0xffffffff) return armed_copy(run, 0, fn, copy);
    void* memory = std::malloc(sizeof(Shared));
    auto* results = static_cast<Py_ssize_t*>(std::malloc(sizeof(Py_ssize_t) * pieces));
    if (memory == nullptr || results == nullptr) {
        std::free(memory);
        std::free(results);
        return armed_copy(run, 0, fn, copy);
    }
    auto* s = new (memory) Shared;
    s->stop.store(pieces, std::memory_order_relaxed);
    s->left.store(static_cast<std::uint64_t>(pieces), std::memory_order_relaxed);
    s->run = run;
    s->per = per;
    s->pieces = pieces;
    s->fn = fn;
    s->copy = copy;
    s->results = results;
    if (!start_helper(s)) s->holders.store(1, std::memory_order_relaxed);
    take_pieces(s, 0);
    // the helper's last piece: waited for asleep, so that on a busy machine this core is free to
    // run the helper if it was put aside, instead of spinning beside it
    for (Py_ssize_t d = s->done.load(std::memory_order_acquire); d < pieces;
         d = s->done.load(std::memory_order_acquire)) {
        s->done.wait(d, std::memory_order_acquire);
    }
    // the first piece not copied whole decides: records up to it, or the fault
    Py_ssize_t copied = 0;
    for (Py_ssize_t i = 0; i < pieces; ++i) {
        const Py_ssize_t whole = std::min(per, run.count - i * per);
        if (results[i] < 0) {
            copied = -1;
            break;
        }
        copied += results[i];
        if (results[i] != whole) break;
    }
    let_go(s);
    return copied;
}

}  // namespace detail

// Whether a copy out of a mapping of a file may be trusted. A file cut under the copy reads as
// zeros to the end of the page it then ends in and faults only past that page, so a copy that
// stopped in that page (or ended there) saw no fault; its size after the copy tells that it was
// cut, unless it has grown back meanwhile, as a file rewritten in place does. So the copy stands
// only if the file still reaches the end of what was copied and has not been changed (its
// status change time) since the stamp was taken, before the file was mapped.
class FileStamp {
  public:
    explicit FileStamp(int fd) : fd_(fd), taken_(fstat(fd, &before_) == 0) {}

    // Whether the file still holds the bytes up to offset `end` as it held them when stamped.
    bool holds(off_t end) const {
        struct stat now;
        return taken_ && fstat(fd_, &now) == 0 && now.st_size >= end &&
               now.st_ctim.tv_sec == before_.st_ctim.tv_sec &&
               now.st_ctim.tv_nsec == before_.st_ctim.tv_nsec;
    }

  private:
    int fd_;
    struct stat before_;
    bool taken_;
};

// Copies `run` with `copy`, a callable taking a Run (a piece of `run`, or all of it) and answering
// how many of its records it copied: fewer than its count to stop there. With `share`, a long run
// is copied in pieces by this thread and a helper at once, `copy` called on each piece; it must
// then be safe to call so, and pieces after one that stopped may be copied too, for nothing. The
// records copied from the start of `run`, or -1 when the file no longer holds some page of it
// (no exception is set; the copy may be partly done). The caller holds the GIL; `copy` calls no
// Python code.
template <class Copy>
Py_ssize_t copy_mapped(const Run& run, bool share, const Copy& copy) {
    struct sigaction ours;
    std::memset(&ours, 0, sizeof ours);
    ours.sa_sigaction = detail::on_sigbus;
    sigemptyset(&ours.sa_mask);
    // SA_NODEFER: the jump leaves the handler, so SIGBUS must not stay blocked afterwards
    ours.sa_flags = SA_SIGINFO | SA_NODEFER;
    if (sigaction(SIGBUS, &ours, &detail::previous) != 0) return -1;
    const Py_ssize_t copied = detail::shared_copy(run, share, detail::call<Copy>, &copy);
    sigaction(SIGBUS, &detail::previous, nullptr);
    return copied;
}

}  // namespace vandor::guarded

namespace vandor::guarded {

// The one way to copy records out of a file by mapping it: maps bytes [`offset`, `end`) of `fd`
// read-only (every page at once with `populate`), copies the `count` records `step` bytes apart
// from `offset` as copy_mapped does (shared with a helper when `share`), unmaps, and lets the copy
// stand only if the file held those bytes throughout (FileStamp). The records copied, or -1 when
// the window could not be mapped, the file no longer holds some page of it, or it was changed
// meanwhile: the caller then reads them another way, which meets the file as it now is.
template <class Copy>
Py_ssize_t copy_window(int fd, off_t offset, off_t end, std::size_t step, Py_ssize_t count,
                       bool populate, bool share, const Copy& copy) {
    static const off_t page = sysconf(_SC_PAGESIZE);
    const off_t from = offset / page * page;
    const auto len = static_cast<std::size_t>(end - from);
    const FileStamp stamp(fd);
    void* p = mmap(nullptr, len, PROT_READ, MAP_SHARED | (populate ? MAP_POPULATE : 0), fd, from);
    if (p == MAP_FAILED) return -1;
    const Run run{static_cast<const char*>(p) + (offset - from),
                  static_cast<std::size_t>(end - offset), step, count, 0};
    const Py_ssize_t copied = copy_mapped(run, share, copy);
    munmap(p, len);
    return copied >= 0 && stamp.holds(end) ? copied : -1;
}

}  // namespace vandor::guarded

#include <Python.h>

// A fault on a mapped page is turned into a failed copy only while a copy runs and only for an
// address inside the run being copied: the SIGBUS handler is installed just for the copy (no
// Python code runs meanwhile, so no one else's handler is lost by putting the previous one back),
// and a fault anywhere else restores the previous handler and returns, so that the faulting
// instruction runs again and meets that handler, as if this one had never been there. The GIL
// keeps copies from overlapping; the one armed run is a plain global the handler may read.

#include <csetjmp>
#include <csignal>
#include <cstring>

#include "segy/dataset/mapped_copy.h"
#include "segy/record/record.h"

namespace vandor::segymod {
namespace {

constexpr std::size_t kHeaderBytes = VANDOR_SEGY_HEADER_BYTES;

struct Armed {
    const char* begin;
    const char* end;
    sigjmp_buf jump;
};

Armed* volatile g_armed = nullptr;
struct sigaction g_previous;

void on_sigbus(int, siginfo_t* info, void*) {
    Armed* armed = g_armed;
    const char* at = static_cast<const char*>(info->si_addr);
    if (armed != nullptr && at >= armed->begin && at < armed->end) siglongjmp(armed->jump, 1);
    sigaction(SIGBUS, &g_previous, nullptr);
}

// The copy itself, kept free of anything that a jump out of it could leave behind.
void copy_run(const MappedTraces& run) {
    for (Py_ssize_t j = 0; j < run.count; ++j) {
        const std::size_t at = static_cast<std::size_t>(j) * run.step;
        if (at + kHeaderBytes > run.avail) break;
        std::memcpy(run.headers + j * kHeaderBytes, run.from + at, kHeaderBytes);
        if (run.samples == nullptr) continue;
        const std::size_t left = run.avail - at - kHeaderBytes;
        std::memcpy(run.samples + j * run.sample_bytes, run.from + at + kHeaderBytes,
                    left < run.sample_bytes ? left : run.sample_bytes);
    }
}

}  // namespace

int copy_mapped_traces(const MappedTraces& run) {
    struct sigaction ours;
    std::memset(&ours, 0, sizeof ours);
    ours.sa_sigaction = on_sigbus;
    sigemptyset(&ours.sa_mask);
    // SA_NODEFER: the jump leaves the handler, so SIGBUS must not stay blocked afterwards
    ours.sa_flags = SA_SIGINFO | SA_NODEFER;
    if (sigaction(SIGBUS, &ours, &g_previous) != 0) return -1;
    Armed armed{run.from, run.from + run.avail, {}};
    int status = 0;
    if (sigsetjmp(armed.jump, 0) == 0) {
        g_armed = &armed;
        copy_run(run);
    } else {
        status = -1;
    }
    g_armed = nullptr;
    sigaction(SIGBUS, &g_previous, nullptr);
    return status;
}

}  // namespace vandor::segymod

// The floors the variants are measured against: plain stdio, one fread (or fwrite) for the
// header and one for the samples of each trace, each trace in its own malloc'd blocks, the way
// an extension that hands out one object per trace has to do it. A variant is held against the
// read loop that does its work: `touch` for the loops that only look at each trace's header,
// `read` for those that sum every sample.
//
//   limit read PATH        -> "n_traces checksum seconds": every sample summed
//   limit touch PATH       -> "n_traces sum_of_ns seconds": the same reads, each trace touched
//                             only through its header, as the timed Python read loops are
//   limit slurp PATH       -> "n_traces checksum seconds": the whole file with one read(2) into
//                             memory allocated as NumPy allocates large arrays, timed without
//                             the walk that checks it
//   limit write IN OUT     -> loads IN untimed, then times writing it to OUT (best of 3)
//
// The checksum is the float64 sum of every sample, the same quantity the Python variants
// compute; the timed part runs from fopen to fclose, as it does for them.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t kHeader = 240;
constexpr std::size_t kNsOffset = 114;
constexpr std::size_t kBuffer = 1 << 20;

[[noreturn]] void die(const char* what, const char* path) {
    std::fprintf(stderr, "limit: %s: %s\n", what, path);
    std::exit(2);
}

std::uint16_t ns_of(const unsigned char* header) {
    std::uint16_t ns;
    std::memcpy(&ns, header + kNsOffset, sizeof ns);
    return ns;
}

// Several accumulators so the sum is not one long chain of dependent adds: a single chain
// would make the C loop slower than a memory-bound read and flatter every ratio.
double sum_samples(const float* s, std::size_t n) {
    double acc[8] = {};
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8)
        for (int k = 0; k < 8; ++k) acc[k] += s[i + k];
    for (; i < n; ++i) acc[0] += s[i];
    double total = 0;
    for (double a : acc) total += a;
    return total;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

FILE* open_buffered(const char* path, const char* mode) {
    FILE* f = std::fopen(path, mode);
    if (!f) die("cannot open", path);
    // Buffer size matters as much as the loop: a 4 KiB default costs a syscall every few traces.
    // glibc ignores the size when handed a null buffer, so the buffer is supplied; it outlives
    // the stream because it is only released at exit.
    char* buffer = static_cast<char*>(std::malloc(kBuffer));
    if (!buffer || std::setvbuf(f, buffer, _IOFBF, kBuffer) != 0) die("setvbuf failed", path);
    return f;
}

int do_read(const char* path, bool sum) {
    auto t0 = std::chrono::steady_clock::now();
    FILE* f = open_buffered(path, "rb");
    std::int32_t count;
    if (std::fread(&count, sizeof count, 1, f) != 1) die("short count", path);
    double checksum = 0;
    std::int64_t n = 0;
    for (; n < count; ++n) {
        auto* header = static_cast<unsigned char*>(std::malloc(kHeader));
        if (!header) die("out of memory", path);
        if (std::fread(header, kHeader, 1, f) != 1) die("short header", path);
        std::size_t ns = ns_of(header);
        auto* samples = static_cast<float*>(std::malloc(ns ? ns * sizeof(float) : 1));
        if (!samples) die("out of memory", path);
        if (ns && std::fread(samples, ns * sizeof(float), 1, f) != 1) die("short samples", path);
        checksum += sum ? sum_samples(samples, ns) : static_cast<double>(ns);
        std::free(samples);
        std::free(header);
    }
    std::fclose(f);
    double elapsed = seconds_since(t0);
    std::printf("%lld %.17g %.9f\n", static_cast<long long>(n), checksum, elapsed);
    return 0;
}

// Memory for a result of `size` bytes, allocated the way NumPy allocates a large array, or a
// little better: from 4 MiB up NumPy asks the kernel for huge pages (madvise(MADV_HUGEPAGE)), so
// a fresh block is faulted in 2 MiB at a time instead of 4 KiB; the block here is also 2 MiB
// aligned, so every page of it can be huge. A limit that paid 4 KiB faults would be slowed by the
// same cost as a result grown page by page, and would flatter it.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeFrom = std::size_t{4} << 20;

unsigned char* alloc_like_numpy(std::size_t size) {
    if (size < kHugeFrom) return static_cast<unsigned char*>(std::malloc(size ? size : 1));
    const std::size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (p != nullptr) ::madvise(p, rounded, MADV_HUGEPAGE);  // advice: a refusal is not an error
    return static_cast<unsigned char*>(p);
}

// The whole file into one fresh block with read(2), timed from open to close; the walk over the
// traces that checks the result afterwards is not.
int do_slurp(const char* path) {
    auto t0 = std::chrono::steady_clock::now();
    int fd = ::open(path, O_RDONLY);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) die("cannot open", path);
    unsigned char* buf = alloc_like_numpy(static_cast<std::size_t>(st.st_size));
    if (!buf) die("out of memory", path);
    for (off_t done = 0; done < st.st_size;) {
        ssize_t got = ::read(fd, buf + done, st.st_size - done);  // one call unless over 2 GiB
        if (got <= 0) die("short read", path);
        done += got;
    }
    ::close(fd);
    double elapsed = seconds_since(t0);
    std::int32_t count;
    std::memcpy(&count, buf, sizeof count);
    double checksum = 0;
    std::size_t at = sizeof count;
    std::int64_t n = 0;
    for (; n < count; ++n) {
        std::size_t ns = ns_of(buf + at);
        float* samples = reinterpret_cast<float*>(buf + at + kHeader);
        checksum += sum_samples(samples, ns);
        at += kHeader + ns * sizeof(float);
    }
    std::free(buf);
    std::printf("%lld %.17g %.9f\n", static_cast<long long>(n), checksum, elapsed);
    return 0;
}

struct Trace {
    unsigned char* header;
    float* samples;
    std::size_t ns;
};

int do_write(const char* in, const char* out) {
    std::vector<Trace> traces;
    double checksum = 0;
    {
        FILE* f = open_buffered(in, "rb");
        std::int32_t count;
        if (std::fread(&count, sizeof count, 1, f) != 1) die("short count", in);
        traces.reserve(static_cast<std::size_t>(count));
        for (std::int32_t i = 0; i < count; ++i) {
            Trace t;
            t.header = static_cast<unsigned char*>(std::malloc(kHeader));
            if (!t.header || std::fread(t.header, kHeader, 1, f) != 1) die("short header", in);
            t.ns = ns_of(t.header);
            t.samples = static_cast<float*>(std::malloc(t.ns ? t.ns * sizeof(float) : 1));
            if (!t.samples) die("out of memory", in);
            if (t.ns && std::fread(t.samples, t.ns * sizeof(float), 1, f) != 1)
                die("short samples", in);
            checksum += sum_samples(t.samples, t.ns);
            traces.push_back(t);
        }
        std::fclose(f);
    }

    // Some single writes of a fresh file run several times slower than the rest on a shared
    // machine (page-cache allocation and writeback of other work); the best of a few gives a
    // stable limit, and a faster limit can only make the other variants look worse.
    double elapsed = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0) std::remove(out);
        auto t0 = std::chrono::steady_clock::now();
        FILE* f = open_buffered(out, "wb");
        auto count = static_cast<std::int32_t>(traces.size());
        if (std::fwrite(&count, sizeof count, 1, f) != 1) die("write failed", out);
        for (const Trace& t : traces) {
            if (std::fwrite(t.header, kHeader, 1, f) != 1) die("write failed", out);
            if (t.ns && std::fwrite(t.samples, t.ns * sizeof(float), 1, f) != 1)
                die("write failed", out);
        }
        if (std::fclose(f) != 0) die("close failed", out);
        double e = seconds_since(t0);
        if (attempt == 0 || e < elapsed) elapsed = e;
    }

    for (Trace& t : traces) {
        std::free(t.samples);
        std::free(t.header);
    }
    std::printf("%zu %.17g %.9f\n", traces.size(), checksum, elapsed);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "read") == 0) return do_read(argv[2], true);
    if (argc == 3 && std::strcmp(argv[1], "touch") == 0) return do_read(argv[2], false);
    if (argc == 3 && std::strcmp(argv[1], "slurp") == 0) return do_slurp(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "write") == 0) return do_write(argv[2], argv[3]);
    std::fprintf(stderr,
                 "usage: limit read PATH | limit touch PATH | limit slurp PATH | "
                 "limit write IN OUT\n");
    return 2;
}

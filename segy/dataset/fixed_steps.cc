#include <Python.h>

#include "segy/dataset/fixed_steps.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "segy/dataset/rows.h"

namespace vandor::segymod {
namespace {

// Whether a file's traces all share the first one's ns, found once per file by walking every
// header and remembered for the last few files, so that each later chunk of the same file costs
// one seek. A file is known by its identity, size and times: a rewrite changes mtime or, when a
// tool puts mtime back, ctime. The entries hold no Python object and change only while the GIL is
// held, with no call that could drop it in between.
struct FileKey {
    dev_t dev;
    ino_t ino;
    off_t size;
    std::int64_t mtime_ns, ctime_ns;
    bool operator==(const FileKey&) const = default;
};

FileKey key_of(const struct stat& st) {
    constexpr std::int64_t kNs = 1000000000;
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec * kNs + st.st_mtim.tv_nsec,
            st.st_ctim.tv_sec * kNs + st.st_ctim.tv_nsec};
}

class UniformFiles {
  public:
    // 1 uniform, 0 not, -1 never walked
    int find(const FileKey& key) const {
        for (int i = 0; i < used_; ++i) {
            if (entries_[i].key == key) return entries_[i].uniform ? 1 : 0;
        }
        return -1;
    }
    void remember(const FileKey& key, bool uniform) {
        entries_[next_] = {key, uniform};
        next_ = (next_ + 1) % kFiles;
        used_ = std::max(used_, next_ == 0 ? kFiles : next_);
    }

  private:
    static constexpr int kFiles = 16;
    struct Entry {
        FileKey key;
        bool uniform;
    };
    Entry entries_[kFiles];
    int used_ = 0, next_ = 0;
};

UniformFiles uniform_files;

// Walks every header of the file from the first, as iteration would, asking only whether each
// trace has ns `ns`: if all do, trace i lies at kFirstTrace + i * step and nowhere else. Small
// traces are read in whole batches (one read a batch costs far less than one a header), large
// ones by their ns field alone. 1 uniform, 0 not, -1 + exception.
int walk_uniform(const PathRead& f, unsigned ns) {
    const off_t step = kHeaderBytes + off_t{ns} * 4;
    const off_t n = (f.size - kFirstTrace) / step;
    constexpr off_t kAt = offsetof(::segy, ns);
    if (std::size_t{ns} * 4 > kScatterSampleBytes) {
        for (off_t i = 0; i < n; ++i) {
            std::uint16_t at;  // the field as stored, as ns_of reads it
            const Py_ssize_t got = pread_full(f.fd, &at, sizeof at, kFirstTrace + i * step + kAt);
            if (got < 0) return -1;
            if (got != sizeof at || at != ns) return 0;
        }
        return 1;
    }
    std::vector<char> block(kBatchTraces * static_cast<std::size_t>(step));
    for (off_t i = 0; i < n; i += kBatchTraces) {
        const off_t m = std::min<off_t>(kBatchTraces, n - i);
        const Py_ssize_t got = pread_full(f.fd, block.data(), m * step, kFirstTrace + i * step);
        if (got < 0) return -1;
        if (got != m * step) return 0;  // the file shrank under us: not proven
        for (off_t j = 0; j < m; ++j) {
            if (ns_of(block.data() + j * step) != ns) return 0;
        }
    }
    return 1;
}

// Whether the file is proven to hold traces of ns `ns` at fixed steps, walking it the first
// time; 1, 0, or -1 + exception.
int proven_uniform(const PathRead& f, unsigned ns) {
    const FileKey key = key_of(*f.st);
    const int known = uniform_files.find(key);
    if (known >= 0) return known;
    const int uniform = walk_uniform(f, ns);
    if (uniform >= 0) uniform_files.remember(key, uniform == 1);
    return uniform;
}

}  // namespace

int fixed_step_offset(const PathRead& f, const char* first, Py_ssize_t start, off_t* offset) {
    const off_t step = kHeaderBytes + off_t{ns_of(first)} * 4;
    *offset = kFirstTrace + static_cast<off_t>(start) * step;
    if ((f.size - kFirstTrace) % step != 0 || *offset + kHeaderBytes > f.size) return 0;
    for (Py_ssize_t back = std::min<Py_ssize_t>(start, 2); back > 0; --back) {
        char at[kHeaderBytes];
        const Py_ssize_t n = pread_full(f.fd, at, kHeaderBytes, *offset - (back - 1) * step);
        if (n < 0) return -1;
        if (n != kHeaderBytes || ns_of(at) != ns_of(first) || dt_of(at) != dt_of(first)) return 0;
    }
    // from the first trace the reader checks each header as it goes: no proof is needed there
    return start > 0 ? proven_uniform(f, ns_of(first)) : 1;
}

}  // namespace vandor::segymod

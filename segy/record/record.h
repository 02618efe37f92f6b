/* The trace record shared with other extension modules: 240 header bytes in the machine's byte
 * order, then the pointer to the samples. Plain C so that any extension can include it. */
#ifndef VANDOR_SEGY_RECORD_H
#define VANDOR_SEGY_RECORD_H

#include <stdint.h>

/* One row per header field, in layout order: X(byte offset, C type, name, keyword kind,
 * default). The kind says how the trace constructor takes the field: INT (32-bit), SHORT
 * (16-bit), FLOAT, or NONE (no keyword: ns comes from the samples, dt is the required second
 * argument). The default is spelled as the constructor's signature shows it. */
#define VANDOR_SEGY_FIELDS(X)           \
    X(0, int32_t, tracl, INT, 0)        \
    X(4, int32_t, tracr, INT, 0)        \
    X(8, int32_t, fldr, INT, 0)         \
    X(12, int32_t, tracf, INT, 0)       \
    X(16, int32_t, ep, INT, 0)          \
    X(20, int32_t, cdp, INT, 0)         \
    X(24, int32_t, cdpt, INT, 0)        \
    X(28, int16_t, trid, SHORT, 0)      \
    X(30, int16_t, nvs, SHORT, 1)       \
    X(32, int16_t, nhs, SHORT, 1)       \
    X(34, int16_t, duse, SHORT, 2)      \
    X(36, int32_t, offset, SHORT, 0)    \
    X(40, int32_t, gelev, INT, 0)       \
    X(44, int32_t, selev, INT, 0)       \
    X(48, int32_t, sdepth, INT, 0)      \
    X(52, int32_t, gdel, INT, 0)        \
    X(56, int32_t, sdel, INT, 0)        \
    X(60, int32_t, swdep, INT, 0)       \
    X(64, int32_t, gwdep, INT, 0)       \
    X(68, int16_t, scalel, INT, 1)      \
    X(70, int16_t, scalco, INT, 1)      \
    X(72, int32_t, sx, INT, 0)          \
    X(76, int32_t, sy, INT, 0)          \
    X(80, int32_t, gx, INT, 0)          \
    X(84, int32_t, gy, INT, 0)          \
    X(88, int16_t, counit, SHORT, 1)    \
    X(90, int16_t, wevel, SHORT, 1)     \
    X(92, int16_t, swevel, SHORT, 1)    \
    X(94, int16_t, sut, SHORT, 0)       \
    X(96, int16_t, gut, SHORT, 0)       \
    X(98, int16_t, sstat, SHORT, 0)     \
    X(100, int16_t, gstat, SHORT, 0)    \
    X(102, int16_t, tstat, SHORT, 0)    \
    X(104, int16_t, laga, SHORT, 0)     \
    X(106, int16_t, lagb, SHORT, 0)     \
    X(108, int16_t, delrt, SHORT, 0)    \
    X(110, int16_t, muts, SHORT, -1)    \
    X(112, int16_t, mute, SHORT, -1)    \
    X(114, uint16_t, ns, NONE, 0)       \
    X(116, uint16_t, dt, NONE, 0)       \
    X(118, int16_t, gain, SHORT, 1)     \
    X(120, int16_t, igc, SHORT, 1)      \
    X(122, int16_t, igi, SHORT, 1)      \
    X(124, int16_t, corr, SHORT, 1)     \
    X(126, int16_t, sfs, SHORT, 1)      \
    X(128, int16_t, sfe, SHORT, 120)    \
    X(130, int16_t, slen, SHORT, 10000) \
    X(132, int16_t, styp, SHORT, 3)     \
    X(134, int16_t, stas, SHORT, 0)     \
    X(136, int16_t, stae, SHORT, 10000) \
    X(138, int16_t, tatyp, SHORT, 1)    \
    X(140, int16_t, afilf, SHORT, 0)    \
    X(142, int16_t, afils, SHORT, 1)    \
    X(144, int16_t, nofilf, SHORT, 0)   \
    X(146, int16_t, nofils, SHORT, 1)   \
    X(148, int16_t, lcf, SHORT, 0)      \
    X(150, int16_t, hcf, SHORT, 0)      \
    X(152, int16_t, lcs, SHORT, 1)      \
    X(154, int16_t, hcs, SHORT, 1)      \
    X(156, int16_t, year, SHORT, 1970)  \
    X(158, int16_t, day, SHORT, 0)      \
    X(160, int16_t, hour, SHORT, 0)     \
    X(162, int16_t, minute, SHORT, 0)   \
    X(164, int16_t, sec, SHORT, 0)      \
    X(166, int16_t, timbas, SHORT, 0)   \
    X(168, int16_t, trwf, SHORT, 0)     \
    X(170, int16_t, grnors, SHORT, 0)   \
    X(172, int16_t, grnofr, SHORT, 0)   \
    X(174, int16_t, grnlof, SHORT, 0)   \
    X(176, int16_t, gaps, SHORT, 0)     \
    X(178, int16_t, otrav, SHORT, 0)    \
    X(180, float, d1, FLOAT, 1)         \
    X(184, float, f1, FLOAT, 0)         \
    X(188, float, d2, FLOAT, 1)         \
    X(192, float, f2, FLOAT, 0)         \
    X(196, float, ungpow, FLOAT, 0)     \
    X(200, float, unscale, FLOAT, 1)    \
    X(204, int32_t, ntr, INT, 1)        \
    X(208, int16_t, mark, SHORT, 0)     \
    X(210, int16_t, shortpad, SHORT, 0)

#define VANDOR_SEGY_HEADER_BYTES 240
#define VANDOR_SEGY_RESERVED_OFFSET 212

#ifdef __cplusplus
extern "C" {
#endif

typedef struct segy {
#define VANDOR_SEGY_MEMBER(off, ctype, name, kind, dflt) ctype name;
    VANDOR_SEGY_FIELDS(VANDOR_SEGY_MEMBER)
#undef VANDOR_SEGY_MEMBER
    int16_t reserved[14]; /* unassigned tail, carried unchanged */
    float* data;          /* ns floats on the heap, or null; never written to a file */
} segy;

/* Optional arguments of copy_of; never read, the copy is always deep. */
struct __pyx_opt_args_6vandor_4segy_copy_of {
    int __pyx_n;
};

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <cstddef>
#define VANDOR_SEGY_OFFSET_CHECK(off, ctype, name, kind, dflt) \
    static_assert(offsetof(segy, name) == (off), "header field " #name " is misplaced");
VANDOR_SEGY_FIELDS(VANDOR_SEGY_OFFSET_CHECK)
#undef VANDOR_SEGY_OFFSET_CHECK
static_assert(offsetof(segy, reserved) == VANDOR_SEGY_RESERVED_OFFSET);
static_assert(offsetof(segy, data) == VANDOR_SEGY_HEADER_BYTES);
static_assert(sizeof(segy) == VANDOR_SEGY_HEADER_BYTES + sizeof(float*));

namespace vandor::segymod {

// Records live on the malloc heap; the functions never raise and report failure by nullptr.
::segy* new_trace(int ns);  // owned by the caller; the sample area is left uninitialised
::segy* copy_of(::segy* trace, __pyx_opt_args_6vandor_4segy_copy_of* optional_args);
void del_trace(::segy* trace, int free_data);

}  // namespace vandor::segymod
#endif

#endif /* VANDOR_SEGY_RECORD_H */

#include <Python.h>

#include "segy/record/record.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace vandor::segymod {

::segy* new_trace(int ns) {
    auto* trace = static_cast<::segy*>(std::malloc(sizeof(::segy)));
    if (trace == nullptr) return nullptr;
    std::memset(trace, 0, VANDOR_SEGY_HEADER_BYTES);
    trace->data = nullptr;
    if (ns < 1) return trace;
    // the header field is 16 bits; keep the low half and size the samples by what it says
    trace->ns = static_cast<std::uint16_t>(ns);
    if (trace->ns == 0) return trace;
    trace->data = static_cast<float*>(std::malloc(sizeof(float) * trace->ns));
    if (trace->data == nullptr) {
        // a record promising samples without storage is never handed out
        std::free(trace);
        return nullptr;
    }
    return trace;
}

::segy* copy_of(::segy* trace, __pyx_opt_args_6vandor_4segy_copy_of* /*optional_args*/) {
    auto* copy = static_cast<::segy*>(std::malloc(sizeof(::segy)));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, trace, VANDOR_SEGY_HEADER_BYTES);
    copy->data = nullptr;
    if (copy->ns == 0) return copy;
    copy->data = static_cast<float*>(std::malloc(sizeof(float) * copy->ns));
    if (copy->data == nullptr) {
        std::free(copy);
        return nullptr;
    }
    if (trace->data != nullptr) {
        std::memcpy(copy->data, trace->data, sizeof(float) * copy->ns);
    } else {
        std::memset(copy->data, 0, sizeof(float) * copy->ns);  // nothing to copy from
    }
    return copy;
}

void del_trace(::segy* trace, int free_data) {
    if (trace == nullptr) return;
    if (free_data && trace->data != nullptr) std::free(trace->data);
    std::free(trace);
}

}  // namespace vandor::segymod

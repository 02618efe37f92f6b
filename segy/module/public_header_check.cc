// Compile-time proof that the C-level tables as <vandor/segy.h> declares them for other
// extension modules are the tables this module publishes: same size, same slots at the same
// places, same argument types where the public header can name them. Generates no code.
#include <vandor/segy.h>

#include <cstddef>
#include <type_traits>

#include "segy/dataset/dataset.h"
#include "segy/module/module.h"
#include "segy/streams/streams.h"
#include "segy/trace/trace.h"

namespace vandor::segymod {
namespace {

#define VANDOR_SAME_SLOT(ours, theirs, slot) \
    static_assert(offsetof(ours, slot) == offsetof(theirs, slot), #slot " is misplaced")

static_assert(sizeof(TraceMethods) == sizeof(VandorTraceMethods));
VANDOR_SAME_SLOT(TraceMethods, VandorTraceMethods, from_trace);
VANDOR_SAME_SLOT(TraceMethods, VandorTraceMethods, from_file_descriptor);
VANDOR_SAME_SLOT(TraceMethods, VandorTraceMethods, to_file_descriptor);
static_assert(std::is_same_v<decltype(TraceMethods::from_file_descriptor),
                             decltype(VandorTraceMethods::from_file_descriptor)>);

static_assert(sizeof(TraceFromTraceArgs) == sizeof(VandorTraceFromTraceArgs));
VANDOR_SAME_SLOT(TraceFromTraceArgs, VandorTraceFromTraceArgs, n);
VANDOR_SAME_SLOT(TraceFromTraceArgs, VandorTraceFromTraceArgs, trace_owner);
VANDOR_SAME_SLOT(TraceFromTraceArgs, VandorTraceFromTraceArgs, trace_data_owner);

static_assert(sizeof(DatasetMethods) == sizeof(VandorDatasetMethods));
static_assert(std::is_same_v<decltype(DatasetMethods::from_trace_iterator),
                             decltype(VandorDatasetMethods::from_trace_iterator)>);

static_assert(sizeof(StreamMethods) == sizeof(VandorStreamMethods));
VANDOR_SAME_SLOT(StreamMethods, VandorStreamMethods, next_trace);
static_assert(sizeof(FileStreamMethods) == sizeof(VandorFileStreamMethods));
VANDOR_SAME_SLOT(FileStreamMethods, VandorFileStreamMethods, base);
VANDOR_SAME_SLOT(FileStreamMethods, VandorFileStreamMethods, close_file);

// the record functions' types as the module defines them
static_assert(std::is_same_v<decltype(&new_trace), decltype(VandorSegyAPI::new_trace)>);
static_assert(std::is_same_v<decltype(&copy_of), decltype(VandorSegyAPI::copy_of)>);
static_assert(std::is_same_v<decltype(&del_trace), decltype(VandorSegyAPI::del_trace)>);

static_assert(kCApiVersion == VANDOR_SEGY_API_VERSION, "the published version is the header's");

#undef VANDOR_SAME_SLOT

}  // namespace
}  // namespace vandor::segymod

// Messages that more than one unit raises, spelled once.
#pragma once

namespace vandor::segymod {

inline constexpr const char kUnableToAllocateTrace[] = "Unable to allocate trace.";
inline constexpr const char kUnableToAllocateTraceStructure[] =
    "Unable to allocate trace structure.";
inline constexpr const char kUnableToReadHeader[] = "Unable to read trace header from file.";
inline constexpr const char kUnableToReadSamples[] =
    "Unable to read expected number of trace samples.";
inline constexpr const char kErrorWritingHeader[] = "Error writing trace header to file.";
inline constexpr const char kErrorWritingData[] = "Error writing trace data to file.";
inline constexpr const char kNotInitialized[] = "Memoryview is not initialized";
inline constexpr const char kNoMode[] =
    "SEGY file is not on disk, in memory, nor from an iterator.";
inline constexpr const char kCannotConvert[] = "Cannot convert %.200s to %.200s";
inline constexpr const char kErrorWritingCount[] = "Error writing trace count to file.";
// the count ahead of the traces disagrees with the traces that followed it and cannot be mended
inline constexpr const char kCountNotRewritten[] =
    "Wrote %lld traces after a trace count of %d, and the target cannot seek back to correct it.";
inline constexpr const char kWriteAcceptedNothing[] = "write() accepted none of %zd bytes.";
inline constexpr const char kClosedFile[] = "I/O operation on closed file.";

inline constexpr const char kWritesOverBacking[] =
    "cannot write a dataset over the file its traces are read from";

}  // namespace vandor::segymod
